// Test harness of the native-messaging host: frames, in-process and whole-process exchanges,
// and an independent implementation of the salted container written on EVP calls.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// ---- frames ------------------------------------------------------------------------------

std::string nm_header(uint32_t length);          // the 4 native-order bytes
std::string nm_frame(const std::string& text);   // header + text
std::string nm_chunk(const std::string& p);      // frame of {"p":"<p>"}
// Frame of the first message {"action":A,"raw":R,"length":L,"pwd":"<pwd>"}.
std::string nm_first(int action, int raw, long long length, const std::string& pwd);
// A whole request: the first message and the data in chunks of at most chunk characters.
std::string nm_request(int action, int raw, const std::string& pwd, const std::string& data,
                       size_t chunk = 1 << 20);

// The frames of an output stream. whole: the stream is frames and nothing else (every
// header followed by exactly its text, no bytes left over, every text a JSON object).
struct NmFrames {
    std::vector<std::string> texts;
    bool whole;
};
NmFrames nm_parse_frames(const std::string& stream);

// The joined data pieces of data messages; false when a text is not a data message or a
// data frame breaks the 64011-byte limit. The end frame and error frames are skipped.
bool nm_join_data(const std::vector<std::string>& texts, std::string* data);

constexpr const char* NM_END = "{\"end\":\"true\"}";

inline std::string nm_error(const std::string& reason)
{
    return "{\"error\":\"" + reason + "\"}";
}

// The Base64 text of a successful reply: frames only, data messages, the end frame last;
// "<no reply>" otherwise.
std::string nm_reply_text(const NmFrames& frames);
// The plaintext of the container in a successful reply, opened by the independent
// implementation below; "<no container>" otherwise.
std::string nm_reply_plaintext(const NmFrames& frames, const std::string& password);

// ---- in-process exchange (FrameIo over strings, no closing pause) -------------------------

struct ExchangeRun {
    NmFrames frames;
    std::vector<std::string> logs; // syslog messages of this exchange (header stripped)
    int result;
    int reads;                     // read calls the exchange made
};

// Needs nm_capture_logs() once in the process. max_read caps each read call (0: no cap).
ExchangeRun run_exchange(const std::string& input, size_t max_read = 0);

// Points the process's syslog client at a capture socket of its own (not port 514).
void nm_capture_logs();

// ---- whole process ------------------------------------------------------------------------

struct HostRun {
    int status;             // exit status, -1 when it did not exit normally
    std::string out;        // everything on standard output
    std::string err;        // everything on standard error
    NmFrames frames;
    double pause_ms;        // from the end frame to the end of output (-1: no end frame)
};

struct HostCase {
    std::string name;
    std::string input;
    std::vector<std::string> env; // extra environment entries
};

// Runs the real host once per case, a few at a time; input is written and standard input
// closed, output collected to its end. program is the host's path; empty means
// build_program("tavrinhost").
std::vector<HostRun> run_hosts(const std::vector<HostCase>& cases, const std::string& program = {});
HostRun run_host(const std::string& input, const std::vector<std::string>& env = {},
                 const std::string& program = {});

// ---- independent salted container --------------------------------------------------------

// The container of plaintext made with the given salt (16 bytes) and IV field (16 bytes; for
// '1' the first 12, for 'C' none), without the engine under test.
std::string reference_encrypt(const std::string& password, const std::string& plaintext,
                              const std::string& salt, const std::string& iv);

// Opens a container; false when the layout is wrong or the tag or padding check fails.
bool reference_decrypt(const std::string& password, const std::string& container, std::string* plaintext);

std::string base64_of(const std::string& bytes);
bool bytes_of_base64(const std::string& text, std::string* bytes);

// Deterministic pseudo-random bytes for payloads.
std::string pseudo_random_bytes(size_t count, uint32_t seed);
