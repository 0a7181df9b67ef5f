// The access token and the MySQL password as they stand in the settings file: the RC4 bytes as they are
// when an INI line carries them intact, else "-" and the RC4 bytes in hexadecimal.
#pragma once

#include <string>
#include <string_view>

namespace velpic {

// Whether value, written after "Key=", is read back byte for byte: no NUL, CR, LF or end-of-file byte
// anywhere, and no blank, control byte or quotation mark at either end (INI readers trim those).
bool survives_ini_line(std::string_view value);

std::string encode_stored_secret(std::string_view plain);
// Reads both forms. The hexadecimal form is told apart by its "-": that is the first key-stream byte of
// the settings key, so a raw value starting with it deciphers to a text starting with a zero byte, i.e. to
// the empty text, which is never saved.
std::string decode_stored_secret(std::string_view stored);

} // namespace velpic
