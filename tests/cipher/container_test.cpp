// Salted container in FIPS mode against the real provider: layouts, round trips, failures.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include <openssl/err.h>

#include "cipher/container.h"
#include "log/console.h"
#include "tests/cipher/cipher_test_util.h"

namespace {

class Container : public testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(fips_mode_on()); }
    void SetUp() override
    {
        set_user_print_err(record_print);
        printed.clear();
    }
    void TearDown() override
    {
        set_user_print_err(nullptr);
        ERR_clear_error();
    }
};

// One id as the container sees it: password prefix, salt, IV and tag lengths, CBC or not.
struct Id {
    const char* prefix;
    char id;
    uint32_t salt;
    uint32_t iv;
    uint32_t tag;
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

struct Outcome {
    int rc;
    Bytes bytes;
    std::string text;
    int32_t code;
};

Outcome seal(const Bytes& plaintext, const std::string& password)
{
    ScopedResult result;
    CipherError error = {};
    error.code = 7;
    int rc = encrypt_salted(plaintext.data(), static_cast<uint32_t>(plaintext.size()), password.c_str(), &result.r,
                            &error);
    return {rc, rc ? result_bytes(result.r) : Bytes{}, error.text, error.code};
}

Outcome open(const Bytes& container, const std::string& password)
{
    ScopedResult result;
    CipherError error = {};
    error.code = 7;
    int rc = decrypt_salted(container.data(), static_cast<uint32_t>(container.size()), password.c_str(), &result.r,
                            &error);
    return {rc, rc ? result_bytes(result.r) : Bytes{}, error.text, error.code};
}

TEST_F(Container, EveryIdRoundTripsEverySizeWithItsExactLayout)
{
    for (const Id& id : FIPS_IDS) {
        for (uint32_t length : {0u, 1u, 15u, 16u, 17u, 4095u, 1u << 20}) {
            Bytes plaintext = sample_bytes(length, length + static_cast<uint32_t>(id.id));
            std::string password = password_of(id);
            Outcome sealed = seal(plaintext, password);
            ASSERT_EQ(sealed.rc, 1) << "prefix \"" << id.prefix << "\", " << length << " bytes";
            EXPECT_EQ(sealed.bytes.size(), container_size(id, length)) << "prefix \"" << id.prefix << "\", " << length;
            EXPECT_EQ(memcmp(sealed.bytes.data(), "Salted__", 8), 0);

            ScopedResult opened;
            ASSERT_EQ(decrypt_salted(sealed.bytes.data(), static_cast<uint32_t>(sealed.bytes.size()), password.c_str(),
                                     &opened.r, nullptr),
                      1)
                << "prefix \"" << id.prefix << "\", " << length << " bytes";
            ASSERT_EQ(opened.r.length, length);
            EXPECT_TRUE(std::equal(plaintext.begin(), plaintext.end(), opened.r.data))
                << "prefix \"" << id.prefix << "\", " << length << " bytes";
            // The allocated buffer leaves 8 + S zero bytes after the plaintext.
            for (uint32_t i = 0; i < 8 + id.salt; i++)
                ASSERT_EQ(opened.r.data[length + i], 0) << "prefix \"" << id.prefix << "\" byte " << length + i;
            // In place, the plaintext takes the ciphertext's place behind the header and IV.
            Bytes in_place = sealed.bytes;
            uint32_t offset = 0, plain_length = 0;
            ASSERT_EQ(decrypt_salted_in_place(in_place.data(), static_cast<uint32_t>(in_place.size()),
                                              password.c_str(), &offset, &plain_length, nullptr),
                      1);
            EXPECT_EQ(offset, 8 + id.salt + id.iv);
            EXPECT_EQ(Bytes(in_place.begin() + offset, in_place.begin() + offset + plain_length), plaintext)
                << "in place, prefix \"" << id.prefix << "\", " << length << " bytes";
        }
    }
}

TEST_F(Container, KnownSizesOfA16BytePlaintext)
{
    Bytes plaintext = sample_bytes(16);
    EXPECT_EQ(seal(plaintext, "pw").bytes.size(), 56u);    // '2': 8 + 16 + 16 + 16
    EXPECT_EQ(seal(plaintext, ".1pw").bytes.size(), 68u);  // + tag, 12-byte IV
    EXPECT_EQ(seal(plaintext, ".3pw").bytes.size(), 72u);  // a whole padding block
    EXPECT_EQ(seal(plaintext, ".Cpw").bytes.size(), 40u);  // no IV field
}

TEST_F(Container, SaltAndIvBytesLieIn1To253AndAreFreshEachTime)
{
    for (const Id& id : FIPS_IDS) {
        Bytes previous;
        for (int round = 0; round < 64; round++) {
            Outcome sealed = seal(sample_bytes(5), password_of(id));
            ASSERT_EQ(sealed.rc, 1);
            const Bytes& c = sealed.bytes;
            uint32_t nonzero = id.iv == 16 && !id.cbc ? 8 : id.iv; // CTR: nonce only, filler is plain
            for (uint32_t i = 8; i < 8 + id.salt + nonzero; i++)
                ASSERT_TRUE(c[i] >= 1 && c[i] <= 253)
                    << "prefix \"" << id.prefix << "\" byte " << i << " = " << int(c[i]);
            Bytes head(c.begin() + 8, c.begin() + 8 + id.salt + id.iv);
            EXPECT_NE(head, previous) << "prefix \"" << id.prefix << "\": salt and IV repeated";
            previous = head;
        }
    }
}

TEST_F(Container, PrefixNeverEntersTheDerivation)
{
    Bytes plaintext = bytes_of("the prefix only selects the algorithm");
    Outcome bare = seal(plaintext, "secret");
    Outcome prefixed = seal(plaintext, ".2secret");
    ASSERT_EQ(bare.rc, 1);
    ASSERT_EQ(prefixed.rc, 1);
    EXPECT_EQ(open(bare.bytes, ".2secret").bytes, plaintext);
    EXPECT_EQ(open(prefixed.bytes, "secret").bytes, plaintext);
    // '5' derives with 2048 iterations: same size, garbage, but no failure.
    Outcome other = open(bare.bytes, ".5secret");
    EXPECT_EQ(other.rc, 1);
    EXPECT_EQ(other.bytes.size(), plaintext.size());
    EXPECT_NE(other.bytes, plaintext);
}

TEST_F(Container, WrongPasswordFailsOnlyWhereTheCipherCanTell)
{
    Bytes plaintext = sample_bytes(100);
    for (const Id& id : FIPS_IDS) {
        int failures = 0;
        const int rounds = 16;
        for (int round = 0; round < rounds; round++) {
            Outcome sealed = seal(plaintext, password_of(id));
            Outcome wrong = open(sealed.bytes, password_of(id, "correct horsf"));
            if (wrong.rc == 0) {
                failures++;
                continue;
            }
            EXPECT_NE(wrong.bytes, plaintext) << "prefix \"" << id.prefix << "\"";
            if (!id.cbc) {
                EXPECT_EQ(wrong.bytes.size(), plaintext.size()) << "prefix \"" << id.prefix << "\"";
            }
        }
        int expected_at_least = id.tag ? rounds : id.cbc ? rounds - 3 : 0;
        int expected_at_most = id.tag || id.cbc ? rounds : 0;
        EXPECT_GE(failures, expected_at_least) << "prefix \"" << id.prefix << "\" (GCM by its tag, CBC by padding)";
        EXPECT_LE(failures, expected_at_most) << "prefix \"" << id.prefix << "\": CTR has no check";
    }
}

TEST_F(Container, ChangedGcmTagOrCiphertextFailsAndLeavesNoPlaintext)
{
    Bytes plaintext = bytes_of("authenticated text of forty-two characters");
    Outcome sealed = seal(plaintext, ".1pw");
    ASSERT_EQ(sealed.rc, 1);
    for (size_t i = 36; i < sealed.bytes.size(); i++) {
        Bytes changed = sealed.bytes;
        changed[i] ^= 0x80;
        ScopedResult result;
        ASSERT_EQ(decrypt_salted(changed.data(), static_cast<uint32_t>(changed.size()), ".1pw", &result.r, nullptr), 0)
            << "byte " << i << " changed";
        ASSERT_NE(result.r.data, nullptr);
        EXPECT_EQ(Bytes(result.r.data, result.r.data + plaintext.size()), Bytes(plaintext.size(), 0))
            << "unauthenticated plaintext left in the record, byte " << i;
        uint32_t offset = 0, length = 0;
        ASSERT_EQ(decrypt_salted_in_place(changed.data(), static_cast<uint32_t>(changed.size()), ".1pw",
                                          &offset, &length, nullptr),
                  0)
            << "in place, byte " << i << " changed";
        EXPECT_EQ(Bytes(changed.begin() + 36, changed.begin() + 36 + static_cast<long>(plaintext.size())),
                  Bytes(plaintext.size(), 0))
            << "unauthenticated plaintext left in place, byte " << i;
    }
}

TEST_F(Container, CtrFillerBytesAreIgnoredAndTheNonceIsNot)
{
    Bytes plaintext = sample_bytes(300);
    for (const char* password : {".2pw", ".5pw"}) {
        Outcome sealed = seal(plaintext, password);
        ASSERT_EQ(sealed.rc, 1);
        for (size_t i = 32; i < 40; i++) {
            Bytes changed = sealed.bytes;
            changed[i] ^= 0xff;
            EXPECT_EQ(open(changed, password).bytes, plaintext) << password << " filler byte " << i;
        }
        Bytes nonce = sealed.bytes;
        nonce[24] ^= 1;
        EXPECT_NE(open(nonce, password).bytes, plaintext) << password;
    }
}

TEST_F(Container, BytesToKeyIdReadsOnlyTheFirstEightSaltBytes)
{
    Bytes plaintext = sample_bytes(50);
    Outcome sealed = seal(plaintext, ".Cpw");
    ASSERT_EQ(sealed.rc, 1);
    Bytes changed = sealed.bytes;
    for (size_t i = 16; i < 24; i++)
        changed[i] ^= 0x33;
    EXPECT_EQ(open(changed, ".Cpw").bytes, plaintext);
    changed[8] ^= 1;
    EXPECT_NE(open(changed, ".Cpw").bytes, plaintext);
}

TEST_F(Container, LegacyMd5IdFailsInFipsMode)
{
    Outcome sealed = seal(sample_bytes(10), ".Apw");
    EXPECT_EQ(sealed.rc, 0);
    // An 'A' container as the openssl enc command makes it: magic, 8-byte salt, ciphertext.
    Bytes container = bytes_of("Salted__12345678");
    Bytes body = sample_bytes(32);
    container.insert(container.end(), body.begin(), body.end());
    Outcome opened = open(container, ".Apw");
    EXPECT_EQ(opened.rc, 0);
    EXPECT_NE(opened.text, "") << "the library's reason is expected";
}

TEST_F(Container, IdsOutsideTheTableFailBeforeAnyWork)
{
    Bytes container = seal(sample_bytes(20), "pw").bytes;
    for (std::string password : std::vector<std::string>{".4pw", ".6pw", ".Bpw", ".", std::string(".\xff") + "pw", std::string("..pw")}) {
        for (int decrypting = 0; decrypting < 2; decrypting++) {
            ScopedResult result;
            CipherError error = {};
            error.code = 7;
            int rc = decrypting ? decrypt_salted(container.data(), static_cast<uint32_t>(container.size()),
                                                 password.c_str(), &result.r, &error)
                                : encrypt_salted(container.data(), 20, password.c_str(), &result.r, &error);
            EXPECT_EQ(rc, 0) << "password \"" << password << "\"";
            EXPECT_STREQ(error.text, "Unsupported algorithm id") << "password \"" << password << "\"";
            EXPECT_EQ(error.code, 0);
            EXPECT_EQ(result.r.data, nullptr) << "nothing allocated for \"" << password << "\"";
        }
    }
}

TEST_F(Container, MissingRecordsAndInputsAreReported)
{
    Bytes plaintext = sample_bytes(8);
    CipherError error = {};
    error.code = 5;
    EXPECT_EQ(encrypt_salted(plaintext.data(), 8, "pw", nullptr, &error), 0);
    EXPECT_STREQ(error.text, "No object was provided to store results");
    EXPECT_EQ(error.code, 0);
    memset(&error, 0, sizeof error);
    error.code = 5;
    EXPECT_EQ(decrypt_salted(plaintext.data(), 8, "pw", nullptr, &error), 0);
    EXPECT_STREQ(error.text, "No object was provided to store results");
    EXPECT_EQ(error.code, 0);
    // Without an error record the failures are silent but still failures.
    EXPECT_EQ(encrypt_salted(plaintext.data(), 8, "pw", nullptr, nullptr), 0);
    EXPECT_EQ(decrypt_salted(plaintext.data(), 8, "pw", nullptr, nullptr), 0);

    ScopedResult result;
    memset(&error, 0, sizeof error);
    EXPECT_EQ(encrypt_salted(plaintext.data(), 8, nullptr, &result.r, &error), 0);
    EXPECT_STREQ(error.text, "No password was provided");
    memset(&error, 0, sizeof error);
    EXPECT_EQ(encrypt_salted(nullptr, 8, "pw", &result.r, &error), 0);
    EXPECT_STREQ(error.text, "No data was provided");
    memset(&error, 0, sizeof error);
    EXPECT_EQ(decrypt_salted(nullptr, 64, "pw", &result.r, &error), 0);
    EXPECT_STREQ(error.text, "The encrypted data appears to be invalid");
    EXPECT_EQ(result.r.data, nullptr);
    // An empty plaintext needs no bytes at all.
    EXPECT_EQ(encrypt_salted(nullptr, 0, "pw", &result.r, nullptr), 1);
    EXPECT_EQ(result.r.length, 40u);
    release_cipher_result(nullptr);
}

TEST_F(Container, MalformedContainersAppearInvalid)
{
    Bytes good = seal(sample_bytes(20), ".1pw").bytes;
    Bytes no_magic = good;
    no_magic[0] = 's';
    struct Case {
        const char* what;
        Bytes container;
        const char* password;
    } cases[] = {
        {"no magic", no_magic, ".1pw"},
        {"zero bytes where the magic is", Bytes(80, 0), "pw"},
        {"header only", Bytes(good.begin(), good.begin() + 24), "pw"},
        {"header only, GCM", Bytes(good.begin(), good.begin() + 24), ".1pw"},
        {"shorter than header, IV and tag", Bytes(good.begin(), good.begin() + 8 + 16 + 12 + 15), ".1pw"},
        {"shorter than header and IV", Bytes(good.begin(), good.begin() + 8 + 16 + 15), ".3pw"},
        {"shorter than the magic", bytes_of("Salt"), "pw"},
        {"magic alone", bytes_of("Salted__"), ".Cpw"},
        {"header only, legacy CBC", bytes_of("Salted__12345678"), ".Apw"},
        {"legacy CBC without a whole block", bytes_of("Salted__12345678123456789012345"), ".Apw"},
        {"header only, CBC", Bytes(good.begin(), good.begin() + 24 + 16), ".3pw"},
    };
    for (const Case& c : cases) {
        Outcome o = open(c.container, c.password);
        EXPECT_EQ(o.rc, 0) << c.what;
        EXPECT_EQ(o.text, "The encrypted data appears to be invalid") << c.what;
        EXPECT_EQ(o.code, 0) << c.what;
    }
    // Exactly header + IV + tag is a well-formed empty container for GCM, the header alone
    // the empty container of 'C'.
    Outcome empty_c = seal({}, ".Cpw");
    ASSERT_EQ(empty_c.bytes.size(), 24u);
    EXPECT_EQ(open(empty_c.bytes, ".Cpw").rc, 1);
    Outcome empty = seal({}, ".1pw");
    ASSERT_EQ(empty.bytes.size(), 8u + 16 + 12 + 16);
    Outcome opened = open(empty.bytes, ".1pw");
    EXPECT_EQ(opened.rc, 1);
    EXPECT_EQ(opened.bytes.size(), 0u);
}

// Capacity given by the caller, with guard bytes after it that must stay untouched.
struct GuardedBuffer {
    Bytes storage;
    uint32_t capacity;
    explicit GuardedBuffer(uint32_t cap) : storage(cap + 64, 0xa5), capacity(cap) {}
    bool guards_intact() const
    {
        return std::all_of(storage.begin() + capacity, storage.end(), [](unsigned char b) { return b == 0xa5; });
    }
};

TEST_F(Container, CallerBuffersMustHoldTheWholeResult)
{
    Bytes plaintext = sample_bytes(100);
    for (const Id& id : FIPS_IDS) {
        uint32_t needed = container_size(id, 100);
        for (uint32_t capacity : {needed - 17, needed - 1, needed, needed + 5}) {
            GuardedBuffer buffer(capacity);
            CipherResult r = {buffer.storage.data(), capacity, nullptr};
            CipherError error = {};
            int rc = encrypt_salted(plaintext.data(), 100, password_of(id).c_str(), &r, &error);
            EXPECT_EQ(rc, capacity >= needed ? 1 : 0) << "prefix \"" << id.prefix << "\" capacity " << capacity;
            if (rc) {
                EXPECT_EQ(r.length, needed);
            } else {
                EXPECT_STREQ(error.text, "The provided buffer is not large enough to hold result");
            }
            EXPECT_TRUE(buffer.guards_intact()) << "prefix \"" << id.prefix << "\" capacity " << capacity;
        }
        Bytes container = seal(plaintext, password_of(id)).bytes;
        uint32_t length = static_cast<uint32_t>(container.size());
        for (uint32_t capacity : {length - 1, length}) {
            GuardedBuffer buffer(capacity);
            CipherResult r = {buffer.storage.data(), capacity, nullptr};
            CipherError error = {};
            int rc = decrypt_salted(container.data(), length, password_of(id).c_str(), &r, &error);
            EXPECT_EQ(rc, capacity >= length ? 1 : 0) << "prefix \"" << id.prefix << "\" capacity " << capacity;
            if (rc) {
                EXPECT_EQ(Bytes(buffer.storage.begin(), buffer.storage.begin() + r.length), plaintext);
            } else {
                EXPECT_STREQ(error.text, "The provided buffer is not large enough to hold result");
            }
            EXPECT_TRUE(buffer.guards_intact()) << "prefix \"" << id.prefix << "\" capacity " << capacity;
        }
    }
    // A capacity without a buffer is refused too.
    CipherResult r = {nullptr, 500, nullptr};
    CipherError error = {};
    EXPECT_EQ(encrypt_salted(plaintext.data(), 100, "pw", &r, &error), 0);
    EXPECT_STREQ(error.text, "The provided buffer is not large enough to hold result");
}

TEST_F(Container, EncryptingAgainReusesTheRecordInPlaceWithTheRoomWarning)
{
    Bytes plaintext = sample_bytes(1000);
    for (const Id& id : FIPS_IDS) {
        std::string password = password_of(id);
        ScopedResult result;
        CipherError error = {};
        printed.clear();
        ASSERT_EQ(encrypt_salted(plaintext.data(), 1000, password.c_str(), &result.r, &error), 1);
        EXPECT_EQ(printed, "") << "no warning for an allocated buffer";
        const unsigned char* first_buffer = result.r.data;
        uint32_t first_length = result.r.length;
        Bytes first = result_bytes(result.r);
        for (int again = 0; again < 5; again++) {
            printed.clear();
            ASSERT_EQ(encrypt_salted(plaintext.data(), 1000, password.c_str(), &result.r, &error), 1)
                << "prefix \"" << id.prefix << "\" attempt " << again << ": " << error.text;
            EXPECT_EQ(result.r.data, first_buffer);
            EXPECT_EQ(result.r.length, first_length);
            EXPECT_NE(result_bytes(result.r), first) << "fresh salt and IV";
            EXPECT_EQ(open(result_bytes(result.r), password).bytes, plaintext) << "prefix \"" << id.prefix << "\"";
        }
        // The room is the capacity less the header and 16, below plaintext + 16 for every id.
        uint32_t room = first_length - (8 + id.salt) - 16;
        std::string warning = "Length of ciphertext " + std::to_string(room) + " is less than expected 1016\n ";
        EXPECT_EQ(printed, warning) << "prefix \"" << id.prefix << "\"";
    }
}

TEST_F(Container, DecryptingAgainIntoAnAllocatedRecordLeaksNothing)
{
    Bytes container = seal({}, "pw").bytes;
    ScopedResult result;
    ASSERT_EQ(decrypt_salted(container.data(), static_cast<uint32_t>(container.size()), "pw", &result.r, nullptr), 1);
    EXPECT_EQ(result.r.length, 0u);
    EXPECT_NE(result.r.data, nullptr);
    // Length 0 again: the buffer still owned is freed before a new one is made.
    ASSERT_EQ(decrypt_salted(container.data(), static_cast<uint32_t>(container.size()), "pw", &result.r, nullptr), 1);
    EXPECT_EQ(result.r.length, 0u);
}

TEST_F(Container, LengthsBeyond32BitSizeComputationsFailCleanly)
{
    unsigned char probe[64] = {};
    memcpy(probe, "Salted__", 8);
    for (uint32_t length : {CONTAINER_PLAINTEXT_MAX + 1, 0xffffffe0u, 0xffffffffu}) {
        ScopedResult result;
        CipherError error = {};
        EXPECT_EQ(encrypt_salted(probe, length, "pw", &result.r, &error), 0) << length;
        EXPECT_STREQ(error.text, "The data is too large to process") << length;
        EXPECT_EQ(result.r.data, nullptr);
    }
    for (uint32_t length : {CONTAINER_LENGTH_MAX + 1, 0xffffffffu}) {
        ScopedResult result;
        CipherError error = {};
        EXPECT_EQ(decrypt_salted(probe, length, "pw", &result.r, &error), 0) << length;
        EXPECT_STREQ(error.text, "The data is too large to process") << length;
        EXPECT_EQ(result.r.data, nullptr);
    }
}

TEST_F(Container, ReleaseFreesBothBuffersAndKeepsTheLength)
{
    CipherResult r = {static_cast<unsigned char*>(malloc(10)), 10, malloc(20)};
    release_cipher_result(&r);
    EXPECT_EQ(r.data, nullptr);
    EXPECT_EQ(r.extra, nullptr);
    EXPECT_EQ(r.length, 10u);
    release_cipher_result(&r);
}

} // namespace
