#include "upload/encoders.h"

namespace velpic {

std::string base64_encode(std::string_view data) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    if (data.empty())
        return out;
    out.reserve((data.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= data.size(); i += 3) {
        const unsigned b0 = static_cast<unsigned char>(data[i]);
        const unsigned b1 = static_cast<unsigned char>(data[i + 1]);
        const unsigned b2 = static_cast<unsigned char>(data[i + 2]);
        out += kAlphabet[b0 >> 2];
        out += kAlphabet[((b0 & 3) << 4) | (b1 >> 4)];
        out += kAlphabet[((b1 & 15) << 2) | (b2 >> 6)];
        out += kAlphabet[b2 & 63];
    }
    const size_t rest = data.size() - i;
    if (rest > 0) {
        // The missing bytes count as zeros; their characters become padding.
        const unsigned b0 = static_cast<unsigned char>(data[i]);
        const unsigned b1 = rest == 2 ? static_cast<unsigned char>(data[i + 1]) : 0;
        out += kAlphabet[b0 >> 2];
        out += kAlphabet[((b0 & 3) << 4) | (b1 >> 4)];
        out += rest == 2 ? kAlphabet[(b1 & 15) << 2] : '=';
        out += '=';
    }
    return out;
}

std::string upload_timestamp(const LocalClock& clock) {
    const DateTimeFields now = clock ? clock() : system_local_time();
    // The whole seconds come from the date-time without its milliseconds, which are written separately.
    DateTimeFields whole = now;
    whole.millisecond = 0;
    static const double kBase = text_to_datetime("1970-01-01 08:00:00");
    const double seconds = datetime_difference(datetime_from_fields(whole), kBase, kSeconds);
    return std::to_string(static_cast<long long>(seconds)) + pad_left_zeros(std::to_string(now.millisecond), 3);
}

std::string pad_left_zeros(std::string_view text, long width) {
    std::string out;
    if (width > 0 && static_cast<size_t>(width) > text.size())
        out.assign(static_cast<size_t>(width) - text.size(), '0');
    out.append(text);
    return out;
}

} // namespace velpic
