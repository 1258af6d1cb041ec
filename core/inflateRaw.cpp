#include "core/inflateRaw.h"

#include <cstring>

namespace {

// Raw DEFLATE: negative window bits tell zlib there is no header or trailer.
constexpr int rawDeflateWindowBits = -15;

} // namespace

int inflateRaw(Bytef* destination, uLongf* destinationLength, const Bytef* source, uLong sourceLength)
{
    z_stream stream{};
    stream.next_in = const_cast<Bytef*>(source);
    stream.avail_in = static_cast<uInt>(sourceLength);
    stream.next_out = destination;
    stream.avail_out = static_cast<uInt>(*destinationLength);

    int status = inflateInit2(&stream, rawDeflateWindowBits);
    if (status != Z_OK)
        return status;

    status = inflate(&stream, Z_FINISH);
    if (status == Z_STREAM_END) {
        *destinationLength = stream.total_out;
        return inflateEnd(&stream);
    }
    inflateEnd(&stream);
    // A dictionary request, or running out of input before the stream's end,
    // both mean the data is not a complete stream of its own.
    if (status == Z_NEED_DICT || (status == Z_BUF_ERROR && stream.avail_in == 0))
        return Z_DATA_ERROR;
    return status;
}

bool inflateShaderText(char (&text)[shaderTextCapacity], const unsigned char* blob, std::size_t blobLength)
{
    std::memset(text, 0, sizeof text);
    uLongf length = sizeof text;
    return inflateRaw(reinterpret_cast<Bytef*>(text), &length, blob, static_cast<uLong>(blobLength)) == 0;
}
