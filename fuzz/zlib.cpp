// zlib_decode on arbitrary bytes (the first byte also chooses a level for
// a round trip of the rest): no crash, and our own output always decodes.
#include "fuzz/fuzz.h"
#include "ondrel/codecs/text.h"

using namespace ondrel::codecs;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    fuzz::accepted_input_round_trips(
        input, [](std::string_view s) { return zlib_decode(s); }, [](std::string_view s) { return zlib_encode(s); });
    if (size == 0) return 0;
    const int level = data[0] % 11 - 1;
    const std::string_view rest = input.substr(1);
    if (zlib_decode(zlib_encode(rest, level)) != rest) fuzz::die("round trip changed the data");
    return 0;
}
