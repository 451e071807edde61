// The database shared: the worker imports while the UI thread walks "MY" and another program
// (certutil) reads the same database.
#include <atomic>
#include <thread>

#include "nss_test_support.h"

namespace tessaly::nss_test {
namespace {

namespace cert = platform::cert;

using NssSharedDatabaseTest = NssDatabaseTest;

TEST_F(NssSharedDatabaseTest, StaysConsistentWhileTheWorkerImports) {
    Pki& pki = Pki::instance();
    // Made before the threads start: the PKI helper is not thread-safe.
    std::vector<Bytes> packages;
    for (int i = 0; i < 6; ++i) {
        packages.push_back(
            pki.userPackage("Corvane Banking Union CA", "Holder " + std::to_string(i), true));
    }
    packages.push_back(pki.chainPackage(PackageFlavour::OpenSsl, kPackagePassword));

    std::atomic<bool> done{false};
    std::vector<int> results;
    std::thread worker([&] {
        for (const Bytes& package : packages) {
            results.push_back(importPackage(package, kPackagePassword));
        }
        done = true;
    });

    int readerRuns = 0;
    int readerFailures = 0;
    std::size_t largestWalk = 0;
    while (!done || readerRuns == 0) {
        const CommandResult listing = run(certutil(databaseDirectory(), "-L"));
        ++readerRuns;
        if (listing.status != 0) {
            ++readerFailures;
            ADD_FAILURE() << "certutil exited with " << listing.status << ":\n" << listing.output;
        }
        largestWalk = std::max(largestWalk, storeContents(cert::kStoreMy).size());
    }
    worker.join();

    EXPECT_EQ(readerFailures, 0) << "of " << readerRuns;
    EXPECT_EQ(results, std::vector<int>(packages.size(), 1));
    EXPECT_LE(largestWalk, packages.size());
    EXPECT_EQ(storeContents(cert::kStoreMy).size(), packages.size());
    // Seven user certificates, the intermediate and the root, each once; and the issuing CA
    // of the holders stays outside the database (not part of their packages).
    EXPECT_EQ(certutilListing().size(), packages.size() + 2);
    EXPECT_EQ(certutilKeyCount(), static_cast<int>(packages.size()));
}

}  // namespace
}  // namespace tessaly::nss_test
