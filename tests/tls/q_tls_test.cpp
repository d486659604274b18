// The TLS holder: context set-up and certificate loading with its reports.
#include "tests/common/testkit.h"
#include "tls/q_tls.h"

#include <openssl/crypto.h>
#include <openssl/ssl.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::u16string wide(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

std::string held_utf8(const char16_t* name)
{
    std::string s;
    for (const char16_t* p = name; *p; ++p)
        s.push_back(static_cast<char>(*p));
    return s;
}

struct output {
    int result;
    std::string out;
    std::string err;
};

output load(const char16_t* cer, const char16_t* key)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int r = g_tls.load_cer(cer, key);
    std::string e = testing::internal::GetCapturedStderr();
    return {r, testing::internal::GetCapturedStdout(), e};
}

output load(const std::string& cer, const std::string& key)
{
    std::u16string c = wide(cer), k = wide(key);
    return load(c.c_str(), k.c_str());
}

// g_tls is process-wide: every test starts from a fresh context and no
// certificate, and leaves the holder torn down.
class TlsHolder : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir_ = new testkit::temp_dir();
        ASSERT_TRUE(testkit::make_pem(pem("valid.pem")));
        ASSERT_TRUE(testkit::make_mismatched_pem(pem("mismatched.pem")));
        ASSERT_TRUE(testkit::make_pem(pem("expired3.pem"), -3));
        ASSERT_TRUE(testkit::make_pem(pem("expired0.pem"), 0));
        std::ofstream(pem("garbage.pem")) << "not a certificate\n";
        // The certificate alone, without its key.
        ASSERT_EQ(testkit::run("sed -n '/BEGIN CERTIFICATE/,/END CERTIFICATE/p' '" + pem("valid.pem") + "' > '" +
                               pem("cert-only.pem") + "'"),
                  0);
        ASSERT_EQ(testkit::run("cd '" + dir_->path + "' && openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 "
                               "-out ec.key && cat cert-only.pem ec.key > other-type.pem"),
                  0);
    }

    static void TearDownTestSuite()
    {
        delete dir_;
        dir_ = nullptr;
    }

    static std::string pem(const std::string& name) { return dir_->file(name); }

    void SetUp() override
    {
        g_tls.teardown();
        testing::internal::CaptureStdout();
        g_tls.create_ctx();
        testing::internal::GetCapturedStdout();
        ASSERT_NE(g_tls.ssl_ctx.load(), nullptr);
    }

    void TearDown() override { g_tls.teardown(); }

    static testkit::temp_dir* dir_;
};

testkit::temp_dir* TlsHolder::dir_ = nullptr;

TEST_F(TlsHolder, CreateCtxPrintsTheLibraryVersionLineFirst)
{
    g_tls.teardown();
    testing::internal::CaptureStdout();
    g_tls.create_ctx();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string(OpenSSL_version(OPENSSL_VERSION)) + "\n");
    EXPECT_NE(g_tls.ssl_ctx.load(), nullptr);
    EXPECT_EQ(g_tls.enabled.load(), 0);
}

TEST_F(TlsHolder, DefaultPemFileInTheWorkingFolderEnablesTls)
{
    testkit::temp_dir work;
    ASSERT_TRUE(testkit::make_pem(work.file("relayhub.pem")));
    std::vector<char> before(4096);
    ASSERT_NE(getcwd(before.data(), before.size()), nullptr);
    ASSERT_EQ(chdir(work.path.c_str()), 0);
    output o = load(DEFAULT_PEM_FILE, DEFAULT_PEM_FILE);
    ASSERT_EQ(chdir(before.data()), 0);

    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(g_tls.enabled.load(), 1);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "");
    EXPECT_STREQ(g_tls.tls_cer_utf8, "relayhub.pem");
    EXPECT_STREQ(g_tls.tls_key_utf8, "relayhub.pem");
    EXPECT_NE(SSL_CTX_get0_certificate(g_tls.ssl_ctx.load()), nullptr);
}

struct refusal {
    const char* name;
    const char* cer;
    const char* key;
    // "$cer" and "$key" stand for the full file names.
    const char* out;
    const char* err;
};

std::string expand(std::string text, const std::string& cer, const std::string& key)
{
    for (auto [mark, value] : {std::pair<std::string, std::string>{"$cer", cer}, {"$key", key}})
        for (auto at = text.find(mark); at != std::string::npos; at = text.find(mark))
            text.replace(at, mark.size(), value);
    return text;
}

class TlsHolderRefuses : public TlsHolder, public testing::WithParamInterface<refusal> {};

TEST_P(TlsHolderRefuses, LeavesTlsOffAndSaysWhy)
{
    const refusal& c = GetParam();
    std::string cer = pem(c.cer), key = pem(c.key);
    output o = load(cer, key);
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(g_tls.enabled.load(), 0);
    EXPECT_EQ(o.out, expand(c.out, cer, key));
    EXPECT_EQ(o.err, expand(c.err, cer, key));
}

INSTANTIATE_TEST_SUITE_P(
    Files, TlsHolderRefuses,
    testing::Values(
        refusal{"missing_file", "absent.pem", "absent.pem", "invalid or missing certificate file\n$cer\n\n", ""},
        refusal{"not_a_pem_file", "garbage.pem", "garbage.pem", "invalid or missing certificate file\n$cer\n\n", ""},
        refusal{"missing_key_file", "cert-only.pem", "absent.pem", "invalid or missing key file\n$key\n\n", ""},
        refusal{"file_without_a_key", "cert-only.pem", "cert-only.pem", "invalid or missing key file\n$key\n\n", ""},
        // The library's own check refuses it while loading the key.
        refusal{"key_of_another_certificate", "mismatched.pem", "mismatched.pem", "",
                "Private key does not match the public certificate\n"},
        // Loaded without complaint; only the final check finds it.
        refusal{"key_of_another_type", "other-type.pem", "other-type.pem", "",
                "Private key does not match the public certificate\n"}),
    [](const testing::TestParamInfo<refusal>& info) { return std::string(info.param.name); });

struct expiry {
    const char* name;
    const char* file;
    const char* out;
};

class TlsHolderExpiry : public TlsHolder, public testing::WithParamInterface<expiry> {};

TEST_P(TlsHolderExpiry, ReportsDaysSinceExpiryAndStaysEnabled)
{
    const expiry& c = GetParam();
    output o = load(pem(c.file), pem(c.file));
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(g_tls.enabled.load(), 1);
    EXPECT_EQ(o.out, c.out);
    EXPECT_EQ(o.err, "");
}

INSTANTIATE_TEST_SUITE_P(
    Certificates, TlsHolderExpiry,
    testing::Values(expiry{"valid", "valid.pem", ""},
                    expiry{"expired_three_days_ago", "expired3.pem", "certificate expired 3 days ago\n\n"},
                    expiry{"expired_seconds_ago", "expired0.pem", "certificate expired 0 days ago\n\n"}),
    [](const testing::TestParamInfo<expiry>& info) { return std::string(info.param.name); });

struct long_name {
    const char* name;
    bool is_key;
    std::size_t units;
    char16_t unit;
    bool too_long;
};

class TlsHolderNames : public TlsHolder, public testing::WithParamInterface<long_name> {};

// The other name is a good file, so only the long name can make the load fail.
TEST_P(TlsHolderNames, LongNamesAreCheckedInUnits)
{
    const long_name& c = GetParam();
    std::u16string name(c.units, c.unit);
    std::u16string good = wide(pem("valid.pem"));
    output o = c.is_key ? load(good.c_str(), name.c_str()) : load(name.c_str(), good.c_str());
    const char16_t* held = c.is_key ? g_tls.tls_key : g_tls.tls_cer;
    const char* which = c.is_key ? "tls_key" : "tls_cer";

    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(g_tls.enabled.load(), 0);
    if (c.too_long) {
        EXPECT_EQ(o.out, "q_tls_t::load_cer()  " + std::string(which) + " too long  " + std::to_string(c.units) + "/65535\n");
        EXPECT_EQ(held[0], 0);
    } else {
        EXPECT_EQ(std::u16string(held), name);
        EXPECT_EQ(o.out.find("too long"), std::string::npos) << o.out;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Limits, TlsHolderNames,
    testing::Values(long_name{"cer_65535_units_is_taken", false, 65535, u'a', false},
                    long_name{"cer_65536_units_is_refused", false, 65536, u'a', true},
                    long_name{"key_65535_units_is_taken", true, 65535, u'a', false},
                    long_name{"key_65536_units_is_refused", true, 65536, u'a', true}),
    [](const testing::TestParamInfo<long_name>& info) { return std::string(info.param.name); });

// Short enough in units, too long once converted.
TEST_F(TlsHolder, NameTooLongAsUtf8IsRefusedSilently)
{
    std::u16string name(30000, u'\u20AC');
    std::u16string good = wide(pem("valid.pem"));
    output o = load(name.c_str(), good.c_str());
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(std::u16string(g_tls.tls_cer), name);
}

TEST_F(TlsHolder, NullNamesLoadTheNamesAlreadyHeld)
{
    std::string later = pem("made-later.pem");
    ASSERT_EQ(load(later, later).result, -1);
    ASSERT_TRUE(testkit::make_pem(later));

    output o = load(nullptr, nullptr);
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(g_tls.enabled.load(), 1);
    EXPECT_EQ(held_utf8(g_tls.tls_cer), later);
    EXPECT_EQ(held_utf8(g_tls.tls_key), later);
    EXPECT_EQ(o.out, "");
}

TEST_F(TlsHolder, WithoutAContextNothingIsLoaded)
{
    g_tls.teardown();
    std::string good = pem("valid.pem");
    output o = load(good, good);
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(g_tls.enabled.load(), 0);
    EXPECT_EQ(o.out, "");
    // The names are still taken for a later attempt.
    EXPECT_EQ(held_utf8(g_tls.tls_cer), good);
}

TEST_F(TlsHolder, TeardownTurnsTlsOffAndMayBeRepeated)
{
    std::string good = pem("valid.pem");
    ASSERT_EQ(load(good, good).result, 0);
    g_tls.teardown();
    EXPECT_EQ(g_tls.enabled.load(), 0);
    EXPECT_EQ(g_tls.ssl_ctx.load(), nullptr);
    g_tls.teardown();
    EXPECT_EQ(g_tls.ssl_ctx.load(), nullptr);
}

} // namespace
