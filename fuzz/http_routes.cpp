// Fuzz target: one request, parsed as a connection thread parses it, answered by the routes.
// Replies must be well formed and every buffer released (the sanitizers check the rest).
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "http/routes.h"

// Bodies beyond this only make each run slower without reaching new code.
static constexpr size_t FUZZ_INPUT_MAX = 1 << 16;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > FUZZ_INPUT_MAX)
        return 0;
    auto* request = static_cast<HttpRequest*>(calloc(1, sizeof(HttpRequest)));
    parseRequestBytes(request, reinterpret_cast<const char*>(data), size);
    if (request->parseState == Complete) {
        HttpResponse* response = handle_request(request);
        if (response != nullptr) {
            int status = response->statusCode;
            if (status != 200 && status != 204 && status != 400 && status != 500)
                abort();
            // Only the preflight answer (204) goes without a content type.
            if (response->reasonPhrase == nullptr || (response->contentType == nullptr) != (status == 204))
                abort();
            const TextBuffer& body = response->body;
            if (body.contents != nullptr && body.contents[body.length] != '\0')
                abort();
            if (!responseIsSendable(response))
                abort();
            releaseResponse(response);
        }
    }
    free(request->body.contents);
    free(request);
    return 0;
}
