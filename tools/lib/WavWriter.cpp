#include "WavWriter.h"

namespace halvane {

bool WavWriter::open(const std::string& path, std::string& error)
{
    close();
    written_ = 0;
    SF_INFO info{};
    info.samplerate = 8000;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    file_.reset(sf_open(path.c_str(), SFM_WRITE, &info));
    if (!file_) {
        error = "cannot create " + path + ": " + sf_strerror(nullptr);
        return false;
    }
    sf_command(file_.get(), SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);
    return true;
}

bool WavWriter::write(std::span<const std::int16_t> pcm)
{
    if (!file_)
        return false;
    const auto count = static_cast<sf_count_t>(pcm.size());
    const sf_count_t done = sf_writef_short(file_.get(), pcm.data(), count);
    written_ += done;
    return done == count;
}

} // namespace halvane
