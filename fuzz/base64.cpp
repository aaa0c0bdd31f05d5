// base64_decode on arbitrary text; whatever it accepts must re-encode to
// text that decodes to the same bytes, and any bytes must survive
// encode-then-decode with the documented line layout.
#include "fuzz/fuzz.h"
#include "ondrel/codecs/text.h"

using namespace ondrel::codecs;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    fuzz::accepted_input_round_trips(
        input, [](std::string_view s) { return base64_decode(s); }, [](std::string_view s) { return base64_encode(s); });
    const std::string text = base64_encode(input);
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string::npos) fuzz::die("encoded text does not end with a line feed");
        if (end - start > 76 || (end - start < 76 && end + 1 != text.size()))
            fuzz::die("encoded line has the wrong length");
        start = end + 1;
    }
    if (base64_decode(text) != input) fuzz::die("encode-decode changed the data");
    return 0;
}
