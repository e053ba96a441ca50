#include "ambe/AmbeCodebooks.h"

namespace halvane {

const AmbeCodebooks& ambeCodebooks(bool dstar)
{
    static const AmbeCodebooks ambe2{AmbePRBA24, AmbePRBA58, {AmbeHOCb5, AmbeHOCb6, AmbeHOCb7, AmbeHOCb8}};
    static const AmbeCodebooks plus{AmbePlusPRBA24,
                                    AmbePlusPRBA58,
                                    {AmbePlusHOCb5, AmbePlusHOCb6, AmbePlusHOCb7,
                                     std::span<const AmbeRow4>(AmbePlusHOCb8).first(8)}};
    return dstar ? plus : ambe2;
}

} // namespace halvane
