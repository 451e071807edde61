// The first answer's text as the renewal job parses it: "0:" and the verification data.
#include <cstddef>
#include <cstdint>

#include "fuzz_input.h"
#include "renewal/renewal_job.h"

using tessaly::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::u16string response = tessaly::fuzz::utf16Of(data, size);
    // Starts dirty: the parse must clear what the caller held before.
    tessaly::platform::WideString parsed(u"left over");
    const int result = tessaly::parseVerificationData(response, parsed);

    const bool accepted = response.size() >= 2 && response[0] == u'0' && response[1] == u':';
    check(result == (accepted ? 1 : 0), "accepted exactly when the answer starts with \"0:\"");
    if (accepted) {
        check(std::u16string_view(parsed) == std::u16string_view(response).substr(2),
              "the data is everything after \"0:\"");
    } else {
        check(parsed.empty(), "a refused answer leaves no data");
    }
    return 0;
}
