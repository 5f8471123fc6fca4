// Test harness of the native-messaging host.
#include "tests/app/native_messaging_harness.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include <cerrno>
#include <poll.h>
#include <unistd.h>

#include <openssl/evp.h>

#include "app/frames.h"
#include "app/native_messaging.h"
#include "log/syslog.h"
#include "tests/support/process.h"
#include "tests/support/udp_capture.h"

// ---- frames ------------------------------------------------------------------------------

std::string nm_header(uint32_t length)
{
    return std::string(reinterpret_cast<const char*>(&length), 4);
}

std::string nm_frame(const std::string& text)
{
    return nm_header(static_cast<uint32_t>(text.size())) + text;
}

std::string nm_chunk(const std::string& p)
{
    return nm_frame("{\"p\":\"" + p + "\"}");
}

std::string nm_first(int action, int raw, long long length, const std::string& pwd)
{
    return nm_frame("{\"action\":" + std::to_string(action) + ",\"raw\":" + std::to_string(raw) +
                    ",\"length\":" + std::to_string(length) + ",\"pwd\":\"" + pwd + "\"}");
}

std::string nm_request(int action, int raw, const std::string& pwd, const std::string& data, size_t chunk)
{
    std::string out = nm_first(action, raw, static_cast<long long>(data.size()), pwd);
    for (size_t at = 0; at < data.size(); at += chunk)
        out += nm_chunk(data.substr(at, chunk));
    return out;
}

NmFrames nm_parse_frames(const std::string& stream)
{
    NmFrames frames = {{}, true};
    for (size_t at = 0; at < stream.size();) {
        uint32_t length = 0;
        if (stream.size() - at < 4 || (memcpy(&length, stream.data() + at, 4), stream.size() - at - 4 < length)) {
            frames.whole = false;
            break;
        }
        std::string text = stream.substr(at + 4, length);
        at += 4 + length;
        frames.whole = frames.whole && text.size() >= 2 && text.front() == '{' && text.back() == '}';
        frames.texts.push_back(std::move(text));
    }
    return frames;
}

bool nm_join_data(const std::vector<std::string>& texts, std::string* data)
{
    static const std::string head = "{\"data\":\"";
    data->clear();
    for (const std::string& t : texts) {
        if (t == NM_END || t.rfind("{\"error\":", 0) == 0)
            continue;
        if (t.rfind(head, 0) != 0 || t.size() < head.size() + 2 || t.compare(t.size() - 2, 2, "\"}") != 0 ||
            t.size() > NM_DATA_PIECE_MAX + NM_DATA_FRAME_OVERHEAD)
            return false;
        data->append(t, head.size(), t.size() - head.size() - 2);
    }
    return true;
}

std::string nm_reply_text(const NmFrames& frames)
{
    std::string text;
    if (!frames.whole || frames.texts.empty() || frames.texts.back() != NM_END || !nm_join_data(frames.texts, &text))
        return "<no reply>";
    return text;
}

std::string nm_reply_plaintext(const NmFrames& frames, const std::string& password)
{
    std::string container, plain;
    if (!bytes_of_base64(nm_reply_text(frames), &container) || !reference_decrypt(password, container, &plain))
        return "<no container>";
    return plain;
}

// ---- in-process exchange -----------------------------------------------------------------

namespace {

struct StringStreams {
    const std::string* input;
    size_t at;
    size_t max_read;
    std::string output;
    int reads;
};

long string_read(void* context, void* data, size_t length)
{
    auto* s = static_cast<StringStreams*>(context);
    ++s->reads;
    size_t n = std::min(length, s->input->size() - s->at);
    if (s->max_read > 0)
        n = std::min(n, s->max_read);
    memcpy(data, s->input->data() + s->at, n);
    s->at += n;
    return static_cast<long>(n);
}

long string_write(void* context, const void* data, size_t length)
{
    auto* s = static_cast<StringStreams*>(context);
    s->output.append(static_cast<const char*>(data), length);
    return static_cast<long>(length);
}

UdpCapture log_capture = {-1, 0};

std::vector<std::string> drain_logs()
{
    std::vector<std::string> logs;
    for (const std::string& d : udp_capture_collect(&log_capture, 20, 60000))
        logs.push_back(syslog_message_of(d));
    return logs;
}

} // namespace

void nm_capture_logs()
{
    if (log_capture.fd >= 0)
        return;
    udp_capture_open(&log_capture, 0);
    syslog_init();
    syslog_set_destination("127.0.0.1", log_capture.port);
    syslog_open("tavrinhost", 9, 8);
    log_message("capture ready");
    drain_logs();
}

ExchangeRun run_exchange(const std::string& input, size_t max_read)
{
    StringStreams streams = {&input, 0, max_read, {}, 0};
    FrameIo io = {&streams, string_read, string_write, nullptr, 0, FRAME_TEXT_MAX};
    int result = native_messaging_exchange_with(&io);
    return {nm_parse_frames(streams.output), drain_logs(), result, streams.reads};
}

// ---- whole process ------------------------------------------------------------------------

HostRun run_host(const std::string& input, const std::vector<std::string>& env, const std::string& program)
{
    HostRun run = {-1, {}, {}, {{}, false}, -1};
    ChildProcess child;
    if (!start_child(program.empty() ? build_program("tavrinhost") : program, {"tavrinhost"}, env, &child))
        return run;
    std::thread feeder([&] {
        write_all(child.stdin_fd, input.data(), input.size());
        close_stdin(&child);
    });
    std::thread errors([&] { run.err = read_to_end(child.stderr_fd); });
    // Read the output as it comes, noting when it first ended in the end frame (no data text
    // holds its bytes) and when it ended.
    using clock = std::chrono::steady_clock;
    const std::string end_frame = nm_frame(NM_END);
    clock::time_point end_frame_at{};
    bool seen_end = false;
    char buffer[1 << 16];
    for (;;) {
        pollfd p = {child.stdout_fd, POLLIN, 0};
        if (poll(&p, 1, 30000) <= 0)
            break;
        ssize_t n = read(child.stdout_fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        run.out.append(buffer, static_cast<size_t>(n));
        if (!seen_end && run.out.size() >= end_frame.size() &&
            run.out.compare(run.out.size() - end_frame.size(), end_frame.size(), end_frame) == 0) {
            seen_end = true;
            end_frame_at = clock::now();
        }
    }
    if (seen_end)
        run.pause_ms = std::chrono::duration<double, std::milli>(clock::now() - end_frame_at).count();
    feeder.join();
    errors.join();
    run.status = wait_child(&child);
    run.frames = nm_parse_frames(run.out);
    return run;
}

std::vector<HostRun> run_hosts(const std::vector<HostCase>& cases, const std::string& program)
{
    std::vector<HostRun> runs(cases.size());
    std::atomic<size_t> next{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < 8; ++w)
        workers.emplace_back([&] {
            for (size_t i; (i = next++) < cases.size();)
                runs[i] = run_host(cases[i].input, cases[i].env, program);
        });
    for (std::thread& t : workers)
        t.join();
    return runs;
}

// ---- independent salted container --------------------------------------------------------

namespace {

struct Algorithm {
    char id;
    const EVP_CIPHER* (*cipher)();
    int iterations;
    size_t iv_stored;   // IV bytes in the container
    bool bytes_to_key;  // key and IV from EVP_BytesToKey over SHA-256
    size_t tag;
};

const Algorithm ALGORITHMS[] = {
    {'1', EVP_aes_256_gcm, 1024, 12, false, 16}, {'2', EVP_aes_256_ctr, 1024, 16, false, 0},
    {'3', EVP_aes_256_cbc, 1024, 16, false, 0},  {'5', EVP_aes_256_ctr, 2048, 16, false, 0},
    {'C', EVP_aes_256_ctr, 1024, 0, true, 0},
};

// The algorithm a password selects (".X..." -> X, "." alone none, else '2'); proper: the
// password after the prefix.
const Algorithm* algorithm_of(const std::string& password, std::string* proper)
{
    if (password == ".")
        return nullptr;
    bool prefixed = password.size() >= 2 && password[0] == '.';
    *proper = prefixed ? password.substr(2) : password;
    for (const Algorithm& a : ALGORITHMS)
        if (a.id == (prefixed ? password[1] : '2'))
            return &a;
    return nullptr;
}

// Key and the IV the cipher starts from.
bool derive(const Algorithm& a, const std::string& pw, const unsigned char* salt, const unsigned char* stored_iv,
            unsigned char key[32], unsigned char iv[16])
{
    memset(iv, 0, 16);
    if (a.bytes_to_key)
        return EVP_BytesToKey(a.cipher(), EVP_sha256(), salt, reinterpret_cast<const unsigned char*>(pw.data()),
                              static_cast<int>(pw.size()), a.iterations, key, iv) == 32;
    memcpy(iv, stored_iv, a.iv_stored);
    if (a.cipher() == EVP_aes_256_ctr())
        memset(iv + 8, 0, 8); // counter block: nonce, then zeros
    return PKCS5_PBKDF2_HMAC(pw.data(), static_cast<int>(pw.size()), salt, 16, a.iterations, EVP_sha256(), 32,
                             key) == 1;
}

} // namespace

std::string reference_encrypt(const std::string& password, const std::string& plaintext, const std::string& salt,
                              const std::string& iv_field)
{
    std::string pw;
    const Algorithm* a = algorithm_of(password, &pw);
    unsigned char key[32], iv[16];
    if (!a || salt.size() != 16 || iv_field.size() != 16 ||
        !derive(*a, pw, reinterpret_cast<const unsigned char*>(salt.data()),
                reinterpret_cast<const unsigned char*>(iv_field.data()), key, iv))
        return {};
    std::string out = "Salted__" + salt + iv_field.substr(0, a->iv_stored);
    std::string body(plaintext.size() + 32, '\0');
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int n = 0, m = 0;
    EVP_EncryptInit_ex(ctx, a->cipher(), nullptr, key, iv);
    EVP_EncryptUpdate(ctx, reinterpret_cast<unsigned char*>(body.data()), &n,
                      reinterpret_cast<const unsigned char*>(plaintext.data()), static_cast<int>(plaintext.size()));
    EVP_EncryptFinal_ex(ctx, reinterpret_cast<unsigned char*>(body.data()) + n, &m);
    body.resize(static_cast<size_t>(n + m));
    if (a->tag) {
        unsigned char tag[16];
        EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, tag);
        body.append(reinterpret_cast<char*>(tag), 16);
    }
    EVP_CIPHER_CTX_free(ctx);
    return out + body;
}

bool reference_decrypt(const std::string& password, const std::string& container, std::string* plaintext)
{
    std::string pw;
    const Algorithm* a = algorithm_of(password, &pw);
    const auto* bytes = reinterpret_cast<const unsigned char*>(container.data());
    unsigned char key[32], iv[16];
    if (!a || container.size() < 24 + a->iv_stored + a->tag || container.compare(0, 8, "Salted__") != 0 ||
        !derive(*a, pw, bytes + 8, bytes + 24, key, iv))
        return false;
    size_t at = 24 + a->iv_stored;
    size_t length = container.size() - at - a->tag;
    std::string out(length + 16, '\0');
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int n = 0, m = 0;
    bool ok = EVP_DecryptInit_ex(ctx, a->cipher(), nullptr, key, iv) == 1 &&
              EVP_DecryptUpdate(ctx, reinterpret_cast<unsigned char*>(out.data()), &n, bytes + at,
                                static_cast<int>(length)) == 1;
    if (ok && a->tag)
        ok = EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, 16, const_cast<unsigned char*>(bytes + at + length)) == 1;
    ok = ok && EVP_DecryptFinal_ex(ctx, reinterpret_cast<unsigned char*>(out.data()) + n, &m) == 1;
    EVP_CIPHER_CTX_free(ctx);
    if (!ok)
        return false;
    out.resize(static_cast<size_t>(n + m));
    *plaintext = out;
    return true;
}

std::string base64_of(const std::string& bytes)
{
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                            reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    text.resize(static_cast<size_t>(n));
    return text;
}

bool bytes_of_base64(const std::string& text, std::string* bytes)
{
    if (text.size() % 4 != 0)
        return false;
    std::string out(text.size() / 4 * 3 + 1, '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (n < 0)
        return false;
    size_t size = static_cast<size_t>(n);
    if (!text.empty() && text.back() == '=')
        --size;
    if (text.size() > 1 && text[text.size() - 2] == '=')
        --size;
    out.resize(size);
    *bytes = out;
    return true;
}

std::string pseudo_random_bytes(size_t count, uint32_t seed)
{
    std::string out(count, '\0');
    uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (size_t i = 0; i < count; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        out[i] = static_cast<char>(x >> 24);
    }
    return out;
}
