// The cipher engine in FIPS mode against the real provider: the primitives' table, derivation,
// key setups and runs, and the salted container's layouts, round trips and failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include <openssl/err.h>
#include <openssl/evp.h>

#include "cipher/container.h"
#include "cipher/fips.h"
#include "cipher/primitives.h"
#include "log/console.h"
#include "log/syslog.h"
#include "tests/cipher/cipher_test_util.h"

namespace {

const unsigned char SALT[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

// What the cipher engine printed through print_err while record_print was its hook.
std::string printed;

int record_print(const char* format, va_list args)
{
    char line[512];
    int n = vsnprintf(line, sizeof line, format, args);
    printed += line;
    return n;
}

// The engine in FIPS mode against the real provider: print_err recorded into printed, a
// fresh cipher context for the primitives, the error queue cleared after each case.
class Container : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ASSERT_EQ(enable_fips_mode(nullptr, nullptr, log_crypto_error_line), 1);
        ASSERT_EQ(EVP_default_properties_is_fips_enabled(nullptr), 1);
    }
    void SetUp() override
    {
        set_user_print_err(record_print);
        printed.clear();
        ctx = EVP_CIPHER_CTX_new();
        ASSERT_NE(ctx, nullptr);
    }
    void TearDown() override
    {
        set_user_print_err(nullptr);
        EVP_CIPHER_CTX_free(ctx);
        ERR_clear_error();
    }
    EVP_CIPHER_CTX* ctx = nullptr;
};
using Primitives = Container;

// One id as the container sees it: password prefix, salt, IV and tag lengths, CBC or not.
struct Id {
    const char* prefix;
    char id;
    uint32_t salt, iv, tag;
    bool cbc;
};
const Id FIPS_IDS[] = {
    {"", '2', 16, 16, 0, false},  {".1", '1', 16, 12, 16, false}, {".2", '2', 16, 16, 0, false},
    {".3", '3', 16, 16, 0, true}, {".5", '5', 16, 16, 0, false},  {".C", 'C', 16, 0, 0, false},
};

uint32_t container_size(const Id& id, uint32_t plaintext)
{
    uint32_t ciphertext = id.cbc ? (plaintext / 16 + 1) * 16 : plaintext;
    return 8 + id.salt + id.iv + ciphertext + id.tag;
}

std::string password_of(const Id& id, const std::string& proper = "correct horse")
{
    return std::string(id.prefix) + proper;
}

std::string named(const Id& id)
{
    return "prefix \"" + std::string(id.prefix) + "\"";
}

// ---- primitives ----------------------------------------------------------------------------

// The settings of each id show in the layouts, round trips and reference containers; here
// only which bytes are ids at all, and what every byte gets.
TEST_F(Primitives, TableSelectsExactlyTheSixIds)
{
    std::string known;
    for (int id = -1; id < 300; id++) {
        CipherParams p;
        memset(&p, 0xee, sizeof p);
        if (select_cipher_params(id, &p))
            known += static_cast<char>(id);
        EXPECT_EQ(p.algorithm, id);
        EXPECT_EQ(p.salt_length, id == 'A' ? 8 : 16) << "id " << id;
        EXPECT_EQ(salt_length_for_id(id), id == 'A' ? 8 : 16) << "id " << id;
        if (id == '2' || id == '5') {
            EXPECT_EQ(Bytes(p.iv + 8, p.iv + 16), Bytes(8, 0)) << "CTR filler bytes of the IV";
        }
    }
    EXPECT_EQ(known, "1235AC");
    EXPECT_EQ(select_cipher_params('1', nullptr), 0);
}

TEST_F(Primitives, NonzeroBytesCoverOneTo253Only)
{
    Bytes bytes(1 << 18);
    ASSERT_EQ(random_nonzero_bytes(bytes.data(), static_cast<int>(bytes.size())), 1);
    int seen[256] = {};
    for (unsigned char b : bytes)
        seen[b]++;
    for (int v = 0; v < 256; v++)
        EXPECT_EQ(seen[v] > 0, v >= 1 && v <= 253) << "value " << v << " drawn " << seen[v] << " times";
    EXPECT_EQ(random_nonzero_bytes(nullptr, 4), 0);
}

TEST_F(Primitives, FipsRefusesDerivationsBelowItsBoundsWithMinus22)
{
    unsigned char key[32];
    const struct {
        const char* what;
        size_t salt_length;
        uint32_t iterations;
        const char* digest;
        size_t key_length;
    } cases[] = {
        {"8-byte salt", 8, 1024, "SHA256", 32},       {"1 iteration", 16, 1, "SHA256", 32},
        {"unknown digest", 16, 1024, "NO-SUCH", 32}, {"MD5 digest", 16, 1024, "MD5", 32},
        {"8-byte key", 16, 1024, "SHA256", 8},
    };
    for (const auto& c : cases)
        EXPECT_EQ(derive_pbkdf2(nullptr, "pw", 2, SALT, c.salt_length, c.iterations, c.digest, key, c.key_length), -22)
            << c.what;
    EXPECT_EQ(derive_pbkdf2(nullptr, "pw", 2, SALT, 16, 1024, "SHA256", nullptr, 32), -22) << "no output";
}

TEST_F(Primitives, KeySetupsRefuseIdsOutsideTheTableWithoutTouchingTheContext)
{
    ASSERT_EQ(EVP_EncryptInit_ex(ctx, EVP_aes_256_ctr(), nullptr, SALT, SALT), 1);
    for (int id : {int('4'), int('6'), int('B'), 0, int('.'), 255}) {
        int iv_length = 99;
        char text[CIPHER_ERROR_TEXT_SIZE] = {};
        EXPECT_EQ(setup_encrypt_key("pw", id, 2, SALT, nullptr, &iv_length, ctx), -1) << "id " << id;
        EXPECT_EQ(setup_decrypt_key("pw", id, 2, SALT, SALT, &iv_length, ctx, text), -1) << "id " << id;
        EXPECT_STREQ(text, "Unsupported algorithm id");
        EXPECT_EQ(setup_decrypt_key("pw", id, 2, SALT, SALT, &iv_length, ctx, nullptr), -1) << "id " << id;
        EXPECT_EQ(EVP_CIPHER_get_nid(EVP_CIPHER_CTX_get0_cipher(ctx)), NID_aes_256_ctr) << "id " << id;
    }
}

// MD5 is not offered in FIPS mode: every layer fails for 'A', with the library's reason.
TEST_F(Primitives, LegacyMd5IdIsUnavailableInFipsMode)
{
    char text[CIPHER_ERROR_TEXT_SIZE] = {};
    EXPECT_EQ(setup_encrypt_key("pw", 'A', 2, SALT, nullptr, nullptr, ctx), -1);
    EXPECT_EQ(setup_decrypt_key("pw", 'A', 2, SALT, nullptr, nullptr, ctx, text), -1);
    EXPECT_STRNE(text, "") << "the library's reason is expected";
    EXPECT_EQ(setup_decrypt_key("pw", 'A', 2, SALT, nullptr, nullptr, ctx, nullptr), -1);
    EXPECT_NE(printed.find("An error occured.\n"), std::string::npos) << printed;
    EXPECT_EQ(setup_encrypt_key("pw", 'C', 2, SALT, nullptr, nullptr, ctx), 0) << "SHA-256 BytesToKey is allowed";
    EXPECT_EQ(seal(sample_bytes(10), ".Apw").rc, 0);
    Outcome opened = open(bytes_of("Salted__12345678" + std::string(32, 'x')), ".Apw");
    EXPECT_EQ(opened.rc, 0);
    EXPECT_NE(opened.text, "") << "the library's reason is expected";
}

TEST_F(Primitives, DecryptRunRefusesShortRoomAndAGcmInputShorterThanItsTag)
{
    unsigned char iv[16];
    ASSERT_EQ(setup_encrypt_key("pw", '1', 2, SALT, iv, nullptr, ctx), 0);
    Bytes sealed(64 + 16);
    uint32_t room = 80;
    ASSERT_EQ(encrypt_buffer(ctx, sample_bytes(64).data(), 64, sealed.data(), &room), 1);
    ASSERT_EQ(EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, sealed.data() + 64), 1);
    auto decrypt = [&](int length, uint32_t out_room) {
        int iv_length = 0;
        EXPECT_EQ(setup_decrypt_key("pw", '1', 2, SALT, iv, &iv_length, ctx, nullptr), 0);
        Bytes out(96);
        return decrypt_buffer(ctx, '1', sealed.data(), length, out.data(), &out_room);
    };
    EXPECT_EQ(decrypt(80, 80), 1);
    EXPECT_EQ(printed, "");
    EXPECT_EQ(decrypt(80, 79), 0);
    EXPECT_EQ(printed, "Length of ciphertext 79 is less than expected 80\n ");
    EXPECT_EQ(decrypt(15, 15), 0) << "shorter than the tag";
    EXPECT_EQ(decrypt(-1, 15), 0) << "negative length";
}

// ---- container -----------------------------------------------------------------------------

// The prefix only selects the algorithm: a container sealed without one ('2') opens with ".2"
// written out, so neither enters the derivation.
TEST_F(Container, EveryIdRoundTripsEverySizeWithItsExactLayout)
{
    for (const Id& id : FIPS_IDS) {
        for (uint32_t length : {0u, 1u, 15u, 16u, 17u, 4095u, 1u << 20}) {
            SCOPED_TRACE(named(id) + ", " + std::to_string(length) + " bytes");
            Bytes plaintext = sample_bytes(length, length + static_cast<uint32_t>(id.id));
            std::string password = password_of(id);
            Outcome sealed = seal(plaintext, password);
            ASSERT_EQ(sealed.rc, 1);
            EXPECT_EQ(printed, "") << "no room warning for an allocated buffer";
            EXPECT_EQ(sealed.bytes.size(), container_size(id, length));
            EXPECT_EQ(memcmp(sealed.bytes.data(), "Salted__", 8), 0);

            if (id.prefix[0] == '\0')
                password = ".2" + password;
            ScopedResult opened;
            ASSERT_EQ(decrypt_salted(sealed.bytes.data(), static_cast<uint32_t>(sealed.bytes.size()), password.c_str(),
                                     &opened.r, nullptr),
                      1);
            ASSERT_EQ(opened.r.length, length);
            EXPECT_TRUE(std::equal(plaintext.begin(), plaintext.end(), opened.r.data));
            // The allocated buffer leaves 8 + S zero bytes after the plaintext.
            EXPECT_EQ(Bytes(opened.r.data + length, opened.r.data + length + 8 + id.salt), Bytes(8 + id.salt, 0));
            // In place, the plaintext takes the ciphertext's place behind the header and IV.
            Bytes in_place = sealed.bytes;
            uint32_t offset = 0, plain_length = 0;
            ASSERT_EQ(decrypt_salted_in_place(in_place.data(), static_cast<uint32_t>(in_place.size()),
                                              password.c_str(), &offset, &plain_length, nullptr),
                      1);
            EXPECT_EQ(offset, 8 + id.salt + id.iv);
            EXPECT_EQ(Bytes(in_place.begin() + offset, in_place.begin() + offset + plain_length), plaintext);
        }
    }
}

// Salts, IVs and CTR nonces lie in 1..253 and are fresh; the key setup hands out the IV's
// iv_length bytes (CTR: the nonce and 8 zeros) and nothing more.
TEST_F(Container, SaltIvAndNonceBytesLieIn1To253AndAreFreshEachTime)
{
    for (const Id& id : FIPS_IDS) {
        SCOPED_TRACE(named(id));
        bool ctr = id.iv == 16 && !id.cbc;
        uint32_t random = ctr ? 8 : id.iv; // CTR: the nonce only, the filler is plain random
        Bytes previous;
        for (int round = 0; round < 16; round++) {
            Outcome sealed = seal(sample_bytes(5), password_of(id));
            ASSERT_EQ(sealed.rc, 1);
            const Bytes& c = sealed.bytes;
            for (uint32_t i = 8; i < 8 + id.salt + random; i++)
                ASSERT_TRUE(c[i] >= 1 && c[i] <= 253) << "byte " << i << " = " << int(c[i]);
            Bytes head(c.begin() + 8, c.begin() + 8 + id.salt + id.iv);
            EXPECT_NE(head, previous) << "salt and IV repeated";
            previous = head;
            if (id.iv == 0)
                continue;
            Bytes iv(16, 0xff);
            int iv_length = -1;
            ASSERT_EQ(setup_encrypt_key("pw", id.id, 2, SALT, iv.data(), &iv_length, ctx), 0);
            EXPECT_EQ(iv_length, static_cast<int>(id.iv));
            EXPECT_TRUE(std::all_of(iv.begin(), iv.begin() + random, [](int b) { return b >= 1 && b <= 253; }));
            EXPECT_EQ(Bytes(iv.begin() + random, iv.end()), Bytes(16 - random, ctr ? 0 : 0xff));
        }
    }
}

TEST_F(Container, WrongPasswordFailsOnlyWhereTheCipherCanTell)
{
    Bytes plaintext = sample_bytes(100);
    for (const Id& id : FIPS_IDS) {
        int failures = 0;
        const int rounds = 16;
        for (int round = 0; round < rounds; round++) {
            Outcome wrong = open(seal(plaintext, password_of(id)).bytes, password_of(id, "correct horsf"));
            failures += wrong.rc == 0;
            if (wrong.rc) {
                EXPECT_NE(wrong.bytes, plaintext) << named(id);
            }
            if (wrong.rc && !id.cbc) {
                EXPECT_EQ(wrong.bytes.size(), plaintext.size()) << named(id) << ": CTR keeps the length";
            }
        }
        EXPECT_GE(failures, id.tag ? rounds : id.cbc ? rounds - 3 : 0) << named(id) << ": GCM by its tag, CBC padding";
        EXPECT_LE(failures, id.tag || id.cbc ? rounds : 0) << named(id) << ": CTR has no check";
    }
}

TEST_F(Container, ChangedGcmTagOrCiphertextFailsAndLeavesNoPlaintext)
{
    Bytes plaintext = bytes_of("authenticated text of forty-two characters");
    Outcome sealed = seal(plaintext, ".1pw");
    ASSERT_EQ(sealed.rc, 1);
    const Bytes zeros(plaintext.size(), 0);
    for (size_t i = 36; i < sealed.bytes.size(); i++) {
        Bytes changed = sealed.bytes;
        changed[i] ^= 0x80;
        ScopedResult result;
        ASSERT_EQ(decrypt_salted(changed.data(), static_cast<uint32_t>(changed.size()), ".1pw", &result.r, nullptr), 0)
            << "byte " << i << " changed";
        ASSERT_NE(result.r.data, nullptr);
        EXPECT_EQ(Bytes(result.r.data, result.r.data + plaintext.size()), zeros) << "plaintext left, byte " << i;
        uint32_t offset = 0, length = 0;
        ASSERT_EQ(decrypt_salted_in_place(changed.data(), static_cast<uint32_t>(changed.size()), ".1pw", &offset,
                                          &length, nullptr),
                  0)
            << "in place, byte " << i << " changed";
        EXPECT_EQ(Bytes(changed.begin() + 36, changed.begin() + 36 + static_cast<long>(plaintext.size())), zeros)
            << "plaintext left in place, byte " << i;
    }
}

// CTR reads only the nonce of its IV field (the filler is ignored); 'C' reads only the first
// 8 salt bytes (EVP_BytesToKey).
TEST_F(Container, BytesOutsideTheKeyAndNonceAreIgnored)
{
    const struct {
        const char* password;
        size_t ignored_from, ignored_to, significant;
    } cases[] = {{".2pw", 32, 40, 24}, {".5pw", 32, 40, 31}, {".Cpw", 16, 24, 8}};
    Bytes plaintext = sample_bytes(300);
    for (const auto& c : cases) {
        Outcome sealed = seal(plaintext, c.password);
        ASSERT_EQ(sealed.rc, 1);
        Bytes changed = sealed.bytes;
        for (size_t i = c.ignored_from; i < c.ignored_to; i++)
            changed[i] ^= 0xff;
        EXPECT_EQ(open(changed, c.password).bytes, plaintext) << c.password;
        changed[c.significant] ^= 1;
        EXPECT_NE(open(changed, c.password).bytes, plaintext) << c.password << " byte " << c.significant;
    }
}

// Checks made before any key is derived: each failure gives its reason (code 0; none without
// an error record) and allocates nothing.
TEST_F(Container, FailuresBeforeAnyWorkGiveTheirReasonAndAllocateNothing)
{
    unsigned char probe[64] = {'S', 'a', 'l', 't', 'e', 'd', '_', '_'};
    struct Case {
        std::string what;
        bool sealing, with_result;
        const unsigned char* input;
        uint32_t length;
        const char* password;
        const char* reason;
    };
    const char* const too_large = "The data is too large to process";
    std::vector<Case> cases = {
        {"no result record, encrypt", true, false, probe, 8, "pw", "No object was provided to store results"},
        {"no result record, decrypt", false, false, probe, 8, "pw", "No object was provided to store results"},
        {"no password", true, true, probe, 8, nullptr, "No password was provided"},
        {"no plaintext", true, true, nullptr, 8, "pw", "No data was provided"},
        {"no container", false, true, nullptr, 64, "pw", "The encrypted data appears to be invalid"},
        {"plaintext beyond the limit", true, true, probe, CONTAINER_PLAINTEXT_MAX + 1, "pw", too_large},
        {"plaintext of 2^32 - 32", true, true, probe, 0xffffffe0u, "pw", too_large},
        {"container beyond the limit", false, true, probe, CONTAINER_LENGTH_MAX + 1, "pw", too_large},
        {"container of 2^32 - 1", false, true, probe, 0xffffffffu, "pw", too_large},
    };
    for (const char* password : {".4pw", ".6pw", ".Bpw", ".", ".\xffpw", "..pw"})
        for (bool sealing : {true, false})
            cases.push_back({std::string("id outside the table: ") + password, sealing, true, probe, 40, password,
                             "Unsupported algorithm id"});
    for (const Case& c : cases) {
        for (bool with_error : {true, false}) {
            SCOPED_TRACE(c.what + (c.sealing ? ", encrypt" : ", decrypt") + (with_error ? "" : ", no error record"));
            ScopedResult result;
            CipherError error = {};
            error.code = 5;
            CipherResult* r = c.with_result ? &result.r : nullptr;
            CipherError* e = with_error ? &error : nullptr;
            int rc = c.sealing ? encrypt_salted(c.input, c.length, c.password, r, e)
                               : decrypt_salted(c.input, c.length, c.password, r, e);
            EXPECT_EQ(rc, 0);
            EXPECT_STREQ(error.text, with_error ? c.reason : "");
            EXPECT_EQ(error.code, with_error ? 0 : 5);
            EXPECT_EQ(result.r.data, nullptr) << "nothing allocated";
        }
    }
    // An empty plaintext needs no bytes at all.
    ScopedResult result;
    EXPECT_EQ(encrypt_salted(nullptr, 0, "pw", &result.r, nullptr), 1);
    EXPECT_EQ(result.r.length, 40u);
}

TEST_F(Container, MalformedContainersAppearInvalid)
{
    Bytes good = seal(sample_bytes(20), ".1pw").bytes;
    Bytes no_magic = good;
    no_magic[0] = 's';
    auto head = [&](size_t n) { return Bytes(good.begin(), good.begin() + static_cast<long>(n)); };
    const struct {
        const char* what;
        Bytes container;
        const char* password;
    } cases[] = {
        {"no magic", no_magic, ".1pw"},
        {"header only", head(24), "pw"},
        {"header only, GCM", head(24), ".1pw"},
        {"shorter than header, IV and tag", head(8 + 16 + 12 + 15), ".1pw"},
        {"shorter than header and IV", head(8 + 16 + 15), ".3pw"},
        {"header and IV only, CBC", head(24 + 16), ".3pw"},
        {"shorter than the magic", bytes_of("Salt"), "pw"},
        {"magic alone", bytes_of("Salted__"), ".Cpw"},
        {"header only, legacy CBC", bytes_of("Salted__12345678"), ".Apw"},
        {"legacy CBC without a whole block", bytes_of("Salted__12345678123456789012345"), ".Apw"},
    };
    for (const auto& c : cases) {
        Outcome o = open(c.container, c.password);
        EXPECT_EQ(o.rc, 0) << c.what;
        EXPECT_EQ(o.text, "The encrypted data appears to be invalid") << c.what;
        EXPECT_EQ(o.code, 0) << c.what;
    }
    // The header alone is the empty container of 'C'; header, IV and tag that of GCM.
    for (const char* password : {".Cpw", ".1pw"}) {
        Outcome empty = seal({}, password);
        ASSERT_EQ(empty.bytes.size(), password[1] == 'C' ? 24u : 8u + 16 + 12 + 16);
        Outcome opened = open(empty.bytes, password);
        EXPECT_EQ(opened.rc, 1) << password;
        EXPECT_EQ(opened.bytes.size(), 0u) << password;
    }
}

// A caller's buffer (as the front ends pass the record of an earlier encryption again) must
// hold the whole result; a room below plaintext + 16 only prints the room warning.
TEST_F(Container, CallerBuffersMustHoldTheWholeResult)
{
    Bytes plaintext = sample_bytes(100);
    for (const Id& id : FIPS_IDS) {
        Bytes container = seal(plaintext, password_of(id)).bytes;
        auto length = static_cast<uint32_t>(container.size());
        uint32_t needed = container_size(id, 100);
        // Encrypting needs room for the whole container, decrypting the container's length.
        const std::pair<bool, uint32_t> capacities[] = {{true, needed - 17}, {true, needed - 1}, {true, needed},
                                                        {true, needed + 5},  {false, length - 1}, {false, length}};
        for (auto [sealing, capacity] : capacities) {
            SCOPED_TRACE(named(id) + (sealing ? " encrypt" : " decrypt") + ", capacity " + std::to_string(capacity));
            Bytes storage(capacity + 64, 0xa5); // guard bytes after the capacity
            CipherResult r = {storage.data(), capacity, nullptr};
            printed.clear();
            CipherError error = {};
            int rc = sealing ? encrypt_salted(plaintext.data(), 100, password_of(id).c_str(), &r, &error)
                             : decrypt_salted(container.data(), length, password_of(id).c_str(), &r, &error);
            bool fits = capacity >= (sealing ? needed : length);
            EXPECT_EQ(rc, fits ? 1 : 0);
            EXPECT_STREQ(error.text, fits ? "" : "The provided buffer is not large enough to hold result");
            if (rc && sealing) {
                EXPECT_EQ(r.length, needed);
                EXPECT_EQ(open(Bytes(storage.begin(), storage.begin() + needed), password_of(id)).bytes, plaintext);
                uint32_t room = capacity - (8 + id.salt) - 16;
                EXPECT_EQ(printed, room < 116 ? "Length of ciphertext " + std::to_string(room) + " is less than expected 116\n "
                                              : "");
            }
            if (rc && !sealing) {
                EXPECT_EQ(Bytes(storage.begin(), storage.begin() + r.length), plaintext);
            }
            EXPECT_EQ(Bytes(storage.begin() + capacity, storage.end()), Bytes(64, 0xa5)) << "guard bytes";
        }
    }
    // A capacity without a buffer is refused too.
    CipherResult r = {nullptr, 500, nullptr};
    CipherError error = {};
    EXPECT_EQ(encrypt_salted(plaintext.data(), 100, "pw", &r, &error), 0);
    EXPECT_STREQ(error.text, "The provided buffer is not large enough to hold result");
}

TEST_F(Container, ReleasingAndReusingRecordsLeaksNothing)
{
    Bytes container = seal({}, "pw").bytes;
    ScopedResult result;
    // Length 0 again: the buffer still owned is freed before a new one is made.
    for (int round = 0; round < 2; round++) {
        ASSERT_EQ(decrypt_salted(container.data(), static_cast<uint32_t>(container.size()), "pw", &result.r, nullptr),
                  1);
        EXPECT_EQ(result.r.length, 0u);
        EXPECT_NE(result.r.data, nullptr);
    }
    CipherResult r = {static_cast<unsigned char*>(malloc(10)), 10, malloc(20)};
    release_cipher_result(&r);
    EXPECT_EQ(r.data, nullptr);
    EXPECT_EQ(r.extra, nullptr);
    EXPECT_EQ(r.length, 10u) << "the length is kept";
    release_cipher_result(&r);
    release_cipher_result(nullptr);
}

// Every allocation, ours and the crypto library's, made to fail in turn: each operation fails
// cleanly or succeeds with the right result (CTR and GCM through PBKDF2, 'C' through
// EVP_BytesToKey).
TEST_F(Container, EveryFailedAllocationFailsCleanly)
{
    Bytes plaintext = sample_bytes(70);
    for (const char* password : {"pw", ".1pw", ".Cpw"}) {
        Bytes container = seal(plaintext, password).bytes;
        ScopedResult result;
        for (bool sealing : {true, false}) {
            const Bytes& input = sealing ? plaintext : container;
            fail_each_allocation(
                password + std::string(sealing ? " encrypt" : " decrypt"), true,
                [&] {
                    release_cipher_result(&result.r);
                    result.r = {};
                    CipherError error = {};
                    auto length = static_cast<uint32_t>(input.size());
                    return (sealing ? encrypt_salted(input.data(), length, password, &result.r, &error)
                                    : decrypt_salted(input.data(), length, password, &result.r, &error)) == 1;
                },
                [&] {
                    return (sealing ? open(result.bytes(), password).bytes : result.bytes()) == plaintext;
                });
        }
    }
}

} // namespace
