// File transfer records of a USRP client, in sequence through one transfer
// object confined to the scratch directory: requests (downloads of what
// earlier records uploaded there), uploads with their data and end records,
// and errors. The input is a run of records, each a length byte and that
// many value bytes (the sub-command first). The name check sees the input
// whole too.
#include "FileTransfer.h"
#include "FuzzSupport.h"
#include "TLV_CLASS.h"
#include "TlvProtocol.h"
#include "dv3000_servers.h"

#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

using namespace halvane;

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::quietLog();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::clearScratch();
    const std::string root = fuzz::scratchDir().string();
    servers.transferRootDir.set(root);

    std::string path;
    if (FileTransfer::tlvFileNameTranslate(fuzz::textOf(data, size), root, path) == FileTransfer::NameCheck::Ok &&
        path.compare(0, root.size() + 1, root + "/") != 0)
        std::abort(); // a name that escaped the root

    // Downloads are paced by the sleeper: no pause here.
    FileTransfer transfer([](const std::uint8_t* record, std::size_t length) {
        if (record == nullptr || length < TLV_HEADER_SIZE || length != TLV_HEADER_SIZE + record[1])
            std::abort();
    }, [](std::chrono::microseconds) {});
    std::span<const std::uint8_t> rest(data, size);
    while (!rest.empty()) {
        const std::size_t length = std::min<std::size_t>(rest[0], rest.size() - 1);
        transfer.tlvFileProtocolHandler(TLV_CLASS(TAG_FILE_XFER, rest.subspan(1, length)));
        rest = rest.subspan(1 + length);
    }
    return 0;
}
