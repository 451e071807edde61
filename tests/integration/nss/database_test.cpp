// Where the user's database is found or made, and a database protected by a password.
#include <sys/stat.h>

#include "nss_test_support.h"
#include "platform/last_error.h"

namespace tessaly::nss_test {
namespace {

namespace cert = platform::cert;
using ::testing::ElementsAre;

mode_t permissions(const fs::path& path) {
    struct stat status {};
    EXPECT_EQ(stat(path.c_str(), &status), 0) << path;
    return status.st_mode & 07777;
}

TEST(NssDatabaseLocation, FollowsTheDesktopRuleAndCreatesPrivately) {
    struct Case {
        const char* name;
        std::function<void(const fs::path& home)> prepare;
        fs::path expected;  // relative to HOME
    };
    const Case cases[] = {
        {"default data home", [](const fs::path&) {}, ".local/share/pki/nssdb"},
        {"XDG_DATA_HOME",
         [](const fs::path& home) { setenv("XDG_DATA_HOME", (home / "data").c_str(), 1); },
         "data/pki/nssdb"},
        {"relative XDG_DATA_HOME is ignored",
         [](const fs::path&) { setenv("XDG_DATA_HOME", "data", 1); }, ".local/share/pki/nssdb"},
        {"existing ~/.pki/nssdb wins",
         [](const fs::path& home) {
             fs::create_directories(home / ".pki" / "nssdb");
             mustRun(certutil(home / ".pki" / "nssdb", "-N --empty-password"));
             setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
         },
         ".pki/nssdb"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TemporaryHome home;
        c.prepare(home.path());
        ScriptedPrompts prompts;
        platform::nss::NssCertificateServices services(prompts);
        const platform::StoreHandle my = services.openSystemStore(cert::kStoreMy);
        ASSERT_TRUE(my);
        EXPECT_TRUE(services.closeStore(my, cert::kCloseStoreCheckFlag));

        const fs::path expected = home.path() / c.expected;
        EXPECT_EQ(services.databaseDirectory(), expected);
        EXPECT_TRUE(fs::exists(expected / "cert9.db"));
        EXPECT_TRUE(fs::exists(expected / "key4.db"));
        if (std::string(c.name) != "existing ~/.pki/nssdb wins") {
            EXPECT_EQ(permissions(expected), 0700u);
            EXPECT_FALSE(fs::exists(home.path() / ".pki"));
        }
        EXPECT_EQ(prompts.passwordRequests, 0);
        EXPECT_TRUE(services.shutdown());
    }
}

TEST(NssDatabaseLocation, UnknownStoreNameIsNotOpened) {
    const TemporaryHome home;
    ScriptedPrompts prompts;
    platform::nss::NssCertificateServices services(prompts);
    EXPECT_FALSE(services.openSystemStore(u"TRUST"));
    EXPECT_FALSE(services.openSystemStore(u"my"));
    EXPECT_TRUE(services.shutdown());
}

// A database that another program protected with a password, holding one user certificate.
class ProtectedDatabase {
  public:
    static constexpr char kPassword[] = "db-sécret";

    explicit ProtectedDatabase(const fs::path& home) : directory_(home / ".pki" / "nssdb") {
        Pki& pki = Pki::instance();
        fs::create_directories(directory_);
        const fs::path passwordFile = home / "db-password";
        const fs::path packageFile = home / "user.p12";
        const fs::path packagePasswordFile = home / "package-password";
        writeFile(passwordFile, std::string(kPassword));
        writeFile(packagePasswordFile, std::string(kPackagePassword));
        writeFile(packageFile, pki.ecChainPackage());
        mustRun(certutil(directory_, "-N -f " + shellQuoted(passwordFile)));
        mustRun("pk12util -i " + shellQuoted(packageFile) + " -d " +
                shellQuoted("sql:" + directory_.string()) + " -k " + shellQuoted(passwordFile) +
                " -w " + shellQuoted(packagePasswordFile));
        fs::remove(passwordFile);
    }

  private:
    fs::path directory_;
};

TEST(NssProtectedDatabase, AsksForThePasswordOnceAndFailsWhenItIsWrongOrRefused) {
    struct Case {
        const char* name;
        std::optional<std::u16string> answer;
        bool opens;
        std::uint32_t error;
    };
    const Case cases[] = {
        {"right password", u"db-sécret", true, 0},
        {"wrong password", u"db-secret", false, cert::kErrorInvalidPassword},
        {"refused", std::nullopt, false, cert::kErrorCancelled},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TemporaryHome home;
        const ProtectedDatabase database(home.path());
        ScriptedPrompts prompts;
        prompts.password = c.answer;
        platform::nss::NssCertificateServices services(prompts);

        const platform::StoreHandle my = services.openSystemStore(cert::kStoreMy);
        EXPECT_EQ(static_cast<bool>(my), c.opens);
        EXPECT_EQ(prompts.passwordRequests, 1);
        if (my) {
            // Logged in: the user certificate's key is found, and it is not asked again.
            platform::CertHandle user = services.enumCertificatesInStore(my, {});
            ASSERT_TRUE(user);
            EXPECT_EQ(services.encodedCertificate(user), Pki::instance().ecUser().der);
            services.freeCertificate(user);
            const platform::StoreHandle root = services.openSystemStore(cert::kStoreRoot);
            EXPECT_TRUE(root);
            services.closeStore(root, cert::kCloseStoreCheckFlag);
            services.closeStore(my, cert::kCloseStoreCheckFlag);
            EXPECT_EQ(prompts.passwordRequests, 1);
        } else {
            EXPECT_EQ(platform::lastError(), c.error);
        }
        EXPECT_TRUE(services.shutdown());
    }
}

}  // namespace
}  // namespace tessaly::nss_test
