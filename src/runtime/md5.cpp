#include "runtime/md5.h"

#include "runtime/md5_stream.h"

namespace velpic {

std::string md5_hex(std::string_view bytes) {
    Md5Stream stream;
    stream.add(bytes);
    return stream.finish_hex();
}

} // namespace velpic
