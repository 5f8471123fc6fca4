// Cipher primitives in FIPS mode against the real provider: table, derivation, key setups, runs.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include "cipher/primitives.h"
#include "log/console.h"
#include "tests/cipher/cipher_test_util.h"

namespace {

class Primitives : public testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(fips_mode_on()); }
    void SetUp() override
    {
        set_user_print_err(record_print);
        printed.clear();
        ctx = EVP_CIPHER_CTX_new();
        ASSERT_NE(ctx, nullptr);
    }
    void TearDown() override
    {
        EVP_CIPHER_CTX_free(ctx);
        set_user_print_err(nullptr);
    }
    EVP_CIPHER_CTX* ctx = nullptr;
};

const unsigned char SALT[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

TEST_F(Primitives, TableSelectsExactlyTheSixIds)
{
    struct Row {
        int id;
        int iv_length;
        int cipher_nid;
        int digest_nid;
        uint32_t iterations;
        int salt_length;
    } rows[] = {
        {'1', 12, NID_aes_256_gcm, NID_sha256, 1024, 16}, {'2', 16, NID_aes_256_ctr, NID_sha256, 1024, 16},
        {'3', 16, NID_aes_256_cbc, NID_sha256, 1024, 16}, {'5', 16, NID_aes_256_ctr, NID_sha256, 2048, 16},
        {'A', 0, NID_aes_256_cbc, NID_md5, 1, 8},         {'C', 0, NID_aes_256_ctr, NID_sha256, 1024, 16},
    };
    for (const Row& row : rows) {
        CipherParams p;
        memset(&p, 0xee, sizeof p);
        ASSERT_EQ(select_cipher_params(row.id, &p), 1) << "id " << char(row.id);
        EXPECT_EQ(p.algorithm, row.id);
        EXPECT_EQ(p.iv_length, row.iv_length) << "id " << char(row.id);
        EXPECT_EQ(EVP_CIPHER_get_nid(p.cipher), row.cipher_nid) << "id " << char(row.id);
        EXPECT_EQ(EVP_MD_get_type(p.digest), row.digest_nid) << "id " << char(row.id);
        EXPECT_EQ(p.iterations, row.iterations) << "id " << char(row.id);
        EXPECT_EQ(p.salt_length, row.salt_length) << "id " << char(row.id);
        EXPECT_EQ(salt_length_for_id(row.id), row.salt_length) << "id " << char(row.id);
        if (EVP_CIPHER_get_nid(p.cipher) == NID_aes_256_ctr && row.iv_length) {
            for (int i = 8; i < 16; i++)
                EXPECT_EQ(p.iv[i], 0) << "id " << char(row.id) << " filler byte " << i;
        }
    }
    int known = 0;
    for (int id = -1; id < 300; id++) {
        CipherParams p = {};
        int selected = select_cipher_params(id, &p);
        known += selected;
        EXPECT_EQ(p.algorithm, id);
        EXPECT_EQ(p.salt_length, id == 'A' ? 8 : 16) << "id " << id;
        if (!selected) {
            EXPECT_EQ(p.cipher, nullptr) << "id " << id;
        }
    }
    EXPECT_EQ(known, 6);
    EXPECT_EQ(select_cipher_params('1', nullptr), 0);
}

TEST_F(Primitives, NonzeroBytesCoverOneTo253Only)
{
    Bytes bytes(1 << 18);
    ASSERT_EQ(random_nonzero_bytes(bytes.data(), static_cast<int>(bytes.size())), 1);
    int seen[256] = {};
    for (unsigned char b : bytes)
        seen[b]++;
    EXPECT_EQ(seen[0], 0);
    EXPECT_EQ(seen[254], 0);
    EXPECT_EQ(seen[255], 0);
    for (int v = 1; v <= 253; v++)
        EXPECT_GT(seen[v], 0) << "value " << v << " never drawn";
    EXPECT_EQ(random_nonzero_bytes(nullptr, 4), 0);
}

TEST_F(Primitives, FipsDerivesTheSystemsOwnParametersAsTheDefaultProviderDoes)
{
    OSSL_LIB_CTX* plain = OSSL_LIB_CTX_new();
    ASSERT_NE(plain, nullptr);
    OSSL_PROVIDER* provider = OSSL_PROVIDER_load(plain, "default");
    ASSERT_NE(provider, nullptr);
    for (uint32_t iterations : {1024u, 2048u}) {
        for (const char* password : {"password", "", "a much longer pass phrase with spaces"}) {
            unsigned char fips_key[32] = {}, plain_key[32] = {};
            size_t length = strlen(password);
            EXPECT_EQ(derive_pbkdf2(nullptr, password, length, SALT, 16, iterations, "SHA256", fips_key, 32), 0)
                << iterations << " iterations, password length " << length;
            EXPECT_EQ(derive_pbkdf2(plain, password, length, SALT, 16, iterations, "SHA256", plain_key, 32), 0);
            EXPECT_EQ(to_hex(fips_key, 32), to_hex(plain_key, 32)) << iterations << " iterations";
        }
    }
    OSSL_PROVIDER_unload(provider);
    OSSL_LIB_CTX_free(plain);
}

TEST_F(Primitives, FipsRefusesDerivationsBelowItsBoundsWithMinus22)
{
    unsigned char key[32];
    struct Case {
        const char* what;
        size_t salt_length;
        uint32_t iterations;
        const char* digest;
        size_t key_length;
    } cases[] = {
        {"8-byte salt", 8, 1024, "SHA256", 32},
        {"1 iteration", 16, 1, "SHA256", 32},
        {"unknown digest", 16, 1024, "NO-SUCH-DIGEST", 32},
        {"MD5 digest", 16, 1024, "MD5", 32},
        {"8-byte key", 16, 1024, "SHA256", 8},
    };
    for (const Case& c : cases)
        EXPECT_EQ(derive_pbkdf2(nullptr, "pw", 2, SALT, c.salt_length, c.iterations, c.digest, key, c.key_length),
                  -22)
            << c.what;
    EXPECT_EQ(derive_pbkdf2(nullptr, "pw", 2, SALT, 16, 1024, "SHA256", nullptr, 32), -22);
    ERR_clear_error();
}

TEST_F(Primitives, EncryptSetupDrawsNonzeroIvsAndCtrNoncesFollowedByZeros)
{
    for (int id : {'1', '2', '3', '5'}) {
        for (int round = 0; round < 50; round++) {
            unsigned char iv[16];
            memset(iv, 0xff, sizeof iv);
            int iv_length = -1;
            ASSERT_EQ(setup_encrypt_key("pw", id, 2, SALT, iv, &iv_length, ctx), 0) << "id " << char(id);
            bool ctr = id == '2' || id == '5';
            EXPECT_EQ(iv_length, id == '1' ? 12 : 16) << "id " << char(id);
            int random_length = ctr ? 8 : iv_length;
            for (int i = 0; i < random_length; i++)
                EXPECT_TRUE(iv[i] >= 1 && iv[i] <= 253) << "id " << char(id) << " IV byte " << i << " = " << int(iv[i]);
            for (int i = random_length; i < 16; i++)
                EXPECT_EQ(iv[i], ctr ? 0 : 0xff) << "id " << char(id) << " byte " << i;
        }
    }
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

TEST_F(Primitives, LegacyMd5IdIsUnavailableInFipsMode)
{
    unsigned char salt8[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    char text[CIPHER_ERROR_TEXT_SIZE] = {};
    EXPECT_EQ(setup_encrypt_key("pw", 'A', 2, salt8, nullptr, nullptr, ctx), -1);
    EXPECT_EQ(setup_decrypt_key("pw", 'A', 2, salt8, nullptr, nullptr, ctx, text), -1);
    EXPECT_STRNE(text, "") << "the library's reason is expected";
    EXPECT_EQ(setup_decrypt_key("pw", 'A', 2, salt8, nullptr, nullptr, ctx, nullptr), -1);
    EXPECT_NE(printed.find("An error occured.\n"), std::string::npos) << printed;
    // SHA-256 with EVP_BytesToKey is allowed.
    EXPECT_EQ(setup_encrypt_key("pw", 'C', 2, SALT, nullptr, nullptr, ctx), 0);
}

// Encrypts plaintext with key setup for id, returns ciphertext (and the IV in iv).
Bytes run_encrypt(EVP_CIPHER_CTX* ctx, int id, const Bytes& plaintext, unsigned char* iv)
{
    int iv_length = 0;
    EXPECT_EQ(setup_encrypt_key("pw", id, 2, SALT, iv, &iv_length, ctx), 0);
    Bytes out(plaintext.size() + 16);
    uint32_t room = static_cast<uint32_t>(out.size());
    EXPECT_EQ(encrypt_buffer(ctx, plaintext.data(), static_cast<uint32_t>(plaintext.size()), out.data(), &room), 1);
    out.resize(room);
    return out;
}

TEST_F(Primitives, CtrDecryptionIgnoresTheFillerBytesOfTheStoredIv)
{
    for (int id : {'2', '5'}) {
        Bytes plaintext = sample_bytes(100);
        unsigned char iv[16];
        Bytes ciphertext = run_encrypt(ctx, id, plaintext, iv);
        for (int filler : {0x00, 0x5a, 0xff}) {
            unsigned char stored[16];
            memcpy(stored, iv, 8);
            memset(stored + 8, filler, 8);
            int iv_length = 0;
            ASSERT_EQ(setup_decrypt_key("pw", id, 2, SALT, stored, &iv_length, ctx, nullptr), 0);
            Bytes out(ciphertext.size());
            uint32_t room = static_cast<uint32_t>(out.size());
            ASSERT_EQ(decrypt_buffer(ctx, id, ciphertext.data(), static_cast<int>(ciphertext.size()), out.data(), &room), 1);
            EXPECT_EQ(out, plaintext) << "id " << char(id) << " filler " << filler;
        }
    }
}

TEST_F(Primitives, EncryptRunWarnsBelowPlaintextPlus16AndStillEncrypts)
{
    Bytes plaintext = sample_bytes(40);
    unsigned char iv[16];
    ASSERT_EQ(setup_encrypt_key("pw", '2', 2, SALT, iv, nullptr, ctx), 0);
    Bytes out(56);
    uint32_t room = 56;
    ASSERT_EQ(encrypt_buffer(ctx, plaintext.data(), 40, out.data(), &room), 1);
    EXPECT_EQ(room, 40u);
    EXPECT_EQ(printed, "");
    room = 55;
    ASSERT_EQ(encrypt_buffer(ctx, plaintext.data(), 40, out.data(), &room), 1);
    EXPECT_EQ(room, 40u);
    EXPECT_EQ(printed, "Length of ciphertext 55 is less than expected 56\n ");
}

TEST_F(Primitives, CbcPadsToTheNextBlockAndGcmKeepsTheLength)
{
    struct Case {
        int id;
        size_t plaintext;
        size_t ciphertext;
    } cases[] = {{'3', 0, 16}, {'3', 15, 16}, {'3', 16, 32}, {'3', 17, 32},
                 {'1', 0, 0},  {'1', 17, 17}, {'2', 17, 17}, {'C', 33, 33}};
    for (const Case& c : cases) {
        unsigned char iv[16];
        Bytes ciphertext = run_encrypt(ctx, c.id, sample_bytes(c.plaintext), iv);
        EXPECT_EQ(ciphertext.size(), c.ciphertext) << "id " << char(c.id) << ", " << c.plaintext << " bytes";
    }
}

TEST_F(Primitives, DecryptRunFailsOnShortRoomShortGcmInputAndChangedTag)
{
    Bytes plaintext = sample_bytes(64);
    unsigned char iv[16];
    Bytes ciphertext = run_encrypt(ctx, '1', plaintext, iv);
    unsigned char tag[16];
    ASSERT_EQ(EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, tag), 1);
    ciphertext.insert(ciphertext.end(), tag, tag + 16);

    auto decrypt = [&](const Bytes& input, uint32_t room) {
        int iv_length = 0;
        EXPECT_EQ(setup_decrypt_key("pw", '1', 2, SALT, iv, &iv_length, ctx, nullptr), 0);
        Bytes out(input.size() + 16);
        return decrypt_buffer(ctx, '1', input.data(), static_cast<int>(input.size()), out.data(), &room);
    };
    EXPECT_EQ(decrypt(ciphertext, 80), 1);
    EXPECT_EQ(printed, "");
    EXPECT_EQ(decrypt(ciphertext, 79), 0);
    EXPECT_EQ(printed, "Length of ciphertext 79 is less than expected 80\n ");
    EXPECT_EQ(decrypt(Bytes(tag, tag + 15), 15), 0) << "shorter than the tag";
    for (size_t i = 0; i < ciphertext.size(); i += 7) {
        Bytes changed = ciphertext;
        changed[i] ^= 0x01;
        EXPECT_EQ(decrypt(changed, 80), 0) << "byte " << i << " changed";
    }
    ERR_clear_error();
}

TEST_F(Primitives, CbcDecryptionReportsBadPaddingAndBadLengths)
{
    Bytes plaintext = sample_bytes(20);
    unsigned char iv[16];
    Bytes ciphertext = run_encrypt(ctx, '3', plaintext, iv);
    ASSERT_EQ(ciphertext.size(), 32u);
    auto decrypt = [&](const char* password, const Bytes& input) {
        int iv_length = 0;
        EXPECT_EQ(setup_decrypt_key(password, '3', 2, SALT, iv, &iv_length, ctx, nullptr), 0);
        Bytes out(input.size());
        uint32_t room = static_cast<uint32_t>(out.size());
        int ok = decrypt_buffer(ctx, '3', input.data(), static_cast<int>(input.size()), out.data(), &room);
        out.resize(room);
        return ok ? out : Bytes{};
    };
    EXPECT_EQ(decrypt("pw", ciphertext), plaintext);
    EXPECT_EQ(decrypt("pw", Bytes(ciphertext.begin(), ciphertext.end() - 1)), Bytes{}) << "cut ciphertext";
    Bytes last = ciphertext;
    last[15] ^= 0x40; // changes the padding of the last block
    EXPECT_NE(decrypt("pw", last), plaintext);
    ERR_clear_error();
}

#if !defined(_WIN32)
// The container's CTR and CBC runs agree with "openssl enc -K -iv" on the same key and IV.
TEST_F(Primitives, CtrAndCbcRunsMatchTheOpensslCommand)
{
    ASSERT_NE(openssl_program(), "") << "openssl command not found";
    for (int id : {'2', '3', '5'}) {
        for (size_t length : {1u, 16u, 1000u}) {
            Bytes plaintext = sample_bytes(length, static_cast<uint32_t>(id));
            char password[] = ".?secret";
            password[1] = static_cast<char>(id);
            ScopedResult sealed;
            ASSERT_EQ(encrypt_salted(plaintext.data(), static_cast<uint32_t>(length), password, &sealed.r, nullptr), 1);
            const unsigned char* salt = sealed.r.data + 8;
            Bytes iv(sealed.r.data + 24, sealed.r.data + 40);
            if (id != '3')
                std::fill(iv.begin() + 8, iv.end(), 0);
            unsigned char key[32];
            ASSERT_EQ(derive_pbkdf2(nullptr, "secret", 6, salt, 16, id == '5' ? 2048 : 1024, "SHA256", key, 32), 0);
            ProcessResult r = run_openssl({"enc", id == '3' ? "-aes-256-cbc" : "-aes-256-ctr", "-K", to_hex(key, 32),
                                           "-iv", to_hex(iv.data(), 16)},
                                          plaintext);
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(to_hex(sealed.r.data + 40, sealed.r.length - 40), to_hex(bytes_of(r.out).data(), r.out.size()))
                << "id " << char(id) << ", " << length << " bytes";
        }
    }
}
#endif

} // namespace
