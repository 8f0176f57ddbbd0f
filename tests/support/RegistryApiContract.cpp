#include "support/RegistryApiContract.h"

#include <algorithm>
#include <cstring>

namespace hktest {

using Api = PAL::RegistryApi;

namespace {

constexpr std::uint32_t RegSz = 1;

// Names as PuTTY writes them; the longest comes second so it is not simply the first or last.
const std::vector<std::string> ThreeNames = {"rsa2@22:host1", "ssh-ed25519@2222:127.0.0.1",
                                             "ecdsa-sha2-nistp256@22:example.org"};

std::uint32_t longestLength(const std::vector<std::string>& names) {
    std::size_t longest = 0;
    for (const std::string& name : names) {
        longest = std::max(longest, name.size());
    }
    return static_cast<std::uint32_t>(longest);
}

// The order is the store's own: Wine sorts names, the fake keeps insertion order.
std::vector<std::string> sorted(std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    return names;
}

std::string upper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return text;
}

struct Entry {
    Api::Status status;
    std::string name;
};

Entry enumName(Api& api, Api::Handle key, std::uint32_t index, std::uint32_t bufferSize = 256) {
    std::vector<char> buffer(bufferSize + 1, '\0'); // one spare byte to see overruns
    std::uint32_t length = bufferSize;
    std::uint32_t type = 0;
    Entry entry{api.enumValue(key, index, buffer.data(), &length, &type, nullptr, nullptr), ""};
    if (entry.status == Api::Success) {
        EXPECT_EQ(std::strlen(buffer.data()), length) << "length of the name at index " << index;
        EXPECT_EQ(RegSz, type) << "type of the name at index " << index;
        entry.name = buffer.data();
    }
    EXPECT_EQ('\0', buffer[bufferSize]) << "byte past the buffer at index " << index;
    return entry;
}

// Every name from index 0 up to the first failure, which must be "no more items".
std::vector<std::string> allNames(Api& api, Api::Handle key) {
    std::vector<std::string> names;
    for (std::uint32_t index = 0;; ++index) {
        const Entry entry = enumName(api, key, index);
        if (entry.status != Api::Success) {
            EXPECT_EQ(Api::NoMoreItems, entry.status) << "at index " << index;
            return names;
        }
        names.push_back(entry.name);
    }
}

// The data of the value `name` as text, up to its NUL; "(none)" when no value has that name.
std::string dataOf(Api& api, Api::Handle key, const std::string& name) {
    for (std::uint32_t index = 0;; ++index) {
        char found[256] = {};
        std::uint32_t length = sizeof found;
        std::vector<unsigned char> data(256);
        auto size = static_cast<std::uint32_t>(data.size());
        if (api.enumValue(key, index, found, &length, nullptr, data.data(), &size) !=
            Api::Success) {
            return "(none)";
        }
        if (found == name) {
            return std::string(reinterpret_cast<const char*>(data.data()), size).c_str();
        }
    }
}

Api::Status setText(Api& api, Api::Handle key, const std::string& name, const std::string& data) {
    return api.setValue(key, name.c_str(), RegSz,
                        reinterpret_cast<const unsigned char*>(data.c_str()),
                        static_cast<std::uint32_t>(data.size() + 1));
}

std::uint32_t valueCount(Api& api, Api::Handle key) {
    std::uint32_t count = 0;
    EXPECT_EQ(Api::Success,
              api.queryInfoKey(key, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr));
    return count;
}

} // namespace

int detail::registryApiContractAnchor() {
    return 0;
}

void RegistryApiContract::SetUp() {
    backend = GetParam().make();
}

void RegistryApiContract::TearDown() {
    if (key != Api::NotOpen) {
        api().closeKey(key);
    }
    backend->removeKey();
}

Api::Handle RegistryApiContract::openScratch(const std::vector<std::string>& valueNames) {
    scratch = backend->createKey(valueNames);
    Api::Handle handle = Api::NotOpen;
    const Api::Status status =
        api().openKey(Api::rootHandle(scratch.root), scratch.path.c_str(), &handle);
    EXPECT_EQ(Api::Success, status) << "opening the scratch key " << scratch.path;
    key = status == Api::Success ? handle : Api::NotOpen;
    return key;
}

// Opening

TEST_P(RegistryApiContract, OpeningAMissingPathGivesNotFound) {
    openScratch({});
    const Api::Handle root = Api::rootHandle(scratch.root);
    const std::string missing = scratch.path + "\\no such key";
    Api::Handle handle = Api::NotOpen;
    EXPECT_EQ(Api::NotFound, api().openKey(root, missing.c_str(), &handle));
}

TEST_P(RegistryApiContract, KeyPathsIgnoreCase) {
    openScratch({"rsa2@22:host1"});
    const std::string shouted = upper(scratch.path);
    Api::Handle handle = Api::NotOpen;
    ASSERT_EQ(Api::Success, api().openKey(Api::rootHandle(scratch.root), shouted.c_str(), &handle));
    EXPECT_EQ(std::vector<std::string>{"rsa2@22:host1"}, allNames(api(), handle));
    EXPECT_EQ(Api::Success, api().closeKey(handle));
}

TEST_P(RegistryApiContract, OpeningBelowAnInvalidRootFails) {
    openScratch({});
    Api::Handle handle = Api::NotOpen;
    // 0xFFFFFFFF is what an unknown root key maps to: Wine, the fake and the host-key file all
    // call it an invalid handle.
    EXPECT_EQ(Api::InvalidHandle,
              api().openKey(Api::rootHandle(0xFFFFFFFFu), scratch.path.c_str(), &handle));
}

// Counting and enumerating

TEST_P(RegistryApiContract, KeyWithValuesEnumeratesThemAllThenNoMoreItems) {
    const Api::Handle handle = openScratch(ThreeNames);
    ASSERT_NE(Api::NotOpen, handle);

    std::uint32_t count = 0;
    std::uint32_t longest = 0;
    ASSERT_EQ(Api::Success, api().queryInfoKey(handle, nullptr, nullptr, nullptr, &count, &longest,
                                               nullptr, nullptr));
    EXPECT_EQ(3u, count);
    EXPECT_EQ(longestLength(ThreeNames), longest);

    EXPECT_EQ(sorted(ThreeNames), sorted(allNames(api(), handle)));
    EXPECT_EQ(Api::NoMoreItems, enumName(api(), handle, 3).status);
    EXPECT_EQ(Api::NoMoreItems, enumName(api(), handle, 1000).status);
}

TEST_P(RegistryApiContract, EmptyKeyHasNoValues) {
    const Api::Handle handle = openScratch({});
    ASSERT_NE(Api::NotOpen, handle);
    EXPECT_EQ(0u, valueCount(api(), handle));
    EXPECT_EQ(Api::NoMoreItems, enumName(api(), handle, 0).status);
}

TEST_P(RegistryApiContract, CacheKeyHasNoSubKeys) {
    const Api::Handle handle = openScratch(ThreeNames);
    ASSERT_NE(Api::NotOpen, handle);
    char name[256] = {};
    std::uint32_t length = sizeof name;
    EXPECT_EQ(Api::NoMoreItems, api().enumKey(handle, 0, name, &length));
}

TEST_P(RegistryApiContract, NameBufferMustHoldTheTerminatingNul) {
    const std::string name = "rsa2@22:host1";
    const Api::Handle handle = openScratch({name});
    ASSERT_NE(Api::NotOpen, handle);
    const auto size = static_cast<std::uint32_t>(name.size());

    EXPECT_EQ(Api::MoreData, enumName(api(), handle, 0, size).status);
    EXPECT_EQ(Api::MoreData, enumName(api(), handle, 0, 1).status);
    const Entry exact = enumName(api(), handle, 0, size + 1);
    EXPECT_EQ(Api::Success, exact.status);
    EXPECT_EQ(name, exact.name);
}

TEST_P(RegistryApiContract, DataIsReadBySizeThenContents) {
    const Api::Handle handle = openScratch({"rsa2@22:host1"});
    ASSERT_NE(Api::NotOpen, handle);
    char name[64] = {};
    std::uint32_t length = sizeof name;
    std::uint32_t dataSize = 0;
    ASSERT_EQ(Api::Success, api().enumValue(handle, 0, name, &length, nullptr, nullptr, &dataSize));
    ASSERT_GT(dataSize, 0u);

    std::vector<unsigned char> data(dataSize);
    std::uint32_t tooSmall = dataSize - 1;
    length = sizeof name;
    EXPECT_EQ(Api::MoreData,
              api().enumValue(handle, 0, name, &length, nullptr, data.data(), &tooSmall));
    EXPECT_EQ(dataSize, tooSmall);

    std::uint32_t enough = dataSize;
    length = sizeof name;
    EXPECT_EQ(Api::Success,
              api().enumValue(handle, 0, name, &length, nullptr, data.data(), &enough));
    EXPECT_EQ(dataSize, enough);
    EXPECT_STREQ("rsa2@22:host1", name);
}

// Deleting

TEST_P(RegistryApiContract, DeleteGivesSuccessThenNotFound) {
    const Api::Handle handle = openScratch(ThreeNames);
    ASSERT_NE(Api::NotOpen, handle);
    EXPECT_EQ(Api::Success, api().deleteValue(handle, ThreeNames[1].c_str()));
    EXPECT_EQ(Api::NotFound, api().deleteValue(handle, ThreeNames[1].c_str()));
    EXPECT_EQ(2u, valueCount(api(), handle));
    EXPECT_EQ(sorted({ThreeNames[0], ThreeNames[2]}), sorted(allNames(api(), handle)));
}

TEST_P(RegistryApiContract, DeleteOfAValueThatNeverExistedGivesNotFound) {
    const Api::Handle handle = openScratch({"rsa2@22:host1"});
    ASSERT_NE(Api::NotOpen, handle);
    EXPECT_EQ(Api::NotFound, api().deleteValue(handle, "rsa2@22:host2"));
    EXPECT_EQ(1u, valueCount(api(), handle));
}

TEST_P(RegistryApiContract, DeleteIgnoresCase) {
    if (!backend->valueNamesIgnoreCase()) {
        GTEST_SKIP() << "this backend compares value names byte for byte";
    }
    const Api::Handle handle = openScratch({"rsa2@22:host1", "rsa2@22:host2"});
    ASSERT_NE(Api::NotOpen, handle);
    EXPECT_EQ(Api::Success, api().deleteValue(handle, "RSA2@22:HOST1"));
    EXPECT_EQ(Api::NotFound, api().deleteValue(handle, "rsa2@22:host1"));
    EXPECT_EQ(std::vector<std::string>{"rsa2@22:host2"}, allNames(api(), handle));
}

TEST_P(RegistryApiContract, DeleteOfAnotherCaseIsNotFoundWhereNamesAreExact) {
    if (backend->valueNamesIgnoreCase()) {
        GTEST_SKIP() << "this backend compares value names ignoring case";
    }
    const Api::Handle handle = openScratch({"rsa2@22:host1", "rsa2@22:host2"});
    ASSERT_NE(Api::NotOpen, handle);
    EXPECT_EQ(Api::NotFound, api().deleteValue(handle, "RSA2@22:HOST1"));
    EXPECT_EQ(Api::Success, api().deleteValue(handle, "rsa2@22:host1"));
    EXPECT_EQ(std::vector<std::string>{"rsa2@22:host2"}, allNames(api(), handle));
}

// Storing

TEST_P(RegistryApiContract, SetAddsAValueThatEnumeratesWithItsData) {
    const Api::Handle handle = openScratch(ThreeNames);
    ASSERT_NE(Api::NotOpen, handle);
    EXPECT_EQ(Api::Success, setText(api(), handle, "rsa2@2222:new.example", "0x23,0x9f"));
    EXPECT_EQ(4u, valueCount(api(), handle));
    std::vector<std::string> expected = ThreeNames;
    expected.push_back("rsa2@2222:new.example");
    EXPECT_EQ(sorted(expected), sorted(allNames(api(), handle)));
    EXPECT_EQ("0x23,0x9f", dataOf(api(), handle, "rsa2@2222:new.example"));
}

TEST_P(RegistryApiContract, SetReplacesTheDataOfAValue) {
    const Api::Handle handle = openScratch(ThreeNames);
    ASSERT_NE(Api::NotOpen, handle);
    EXPECT_EQ(Api::Success, setText(api(), handle, ThreeNames[1], "0x5,0x6"));
    EXPECT_EQ(Api::Success, setText(api(), handle, ThreeNames[1], "0x7,0x8"));
    EXPECT_EQ(sorted(ThreeNames), sorted(allNames(api(), handle)));
    EXPECT_EQ("0x7,0x8", dataOf(api(), handle, ThreeNames[1]));
    EXPECT_EQ(Api::Success, api().deleteValue(handle, ThreeNames[1].c_str()));
    EXPECT_EQ("(none)", dataOf(api(), handle, ThreeNames[1]));
}

// Where names ignore case the first spelling stays; elsewhere another case is another value.
TEST_P(RegistryApiContract, SetOfAnotherCaseFollowsTheBackendsNameRule) {
    const Api::Handle handle = openScratch({"rsa2@22:host1"});
    ASSERT_NE(Api::NotOpen, handle);
    EXPECT_EQ(Api::Success, setText(api(), handle, "RSA2@22:HOST1", "0x9"));
    if (backend->valueNamesIgnoreCase()) {
        EXPECT_EQ(std::vector<std::string>{"rsa2@22:host1"}, allNames(api(), handle));
        EXPECT_EQ("0x9", dataOf(api(), handle, "rsa2@22:host1"));
    } else {
        EXPECT_EQ(sorted({"RSA2@22:HOST1", "rsa2@22:host1"}), sorted(allNames(api(), handle)));
        EXPECT_EQ("0x9", dataOf(api(), handle, "RSA2@22:HOST1"));
        EXPECT_NE("0x9", dataOf(api(), handle, "rsa2@22:host1"));
    }
}

// A removal of a name that is not there is no failure: afterwards it is not there.
TEST_P(RegistryApiContract, AppliedChangesRemoveThenStore) {
    const Api::Handle handle = openScratch(ThreeNames);
    ASSERT_NE(Api::NotOpen, handle);
    std::size_t applied = 99;
    EXPECT_EQ(Api::Success,
              api().applyChanges(handle, {ThreeNames[0], "rsa2@22:never-there", ThreeNames[2]},
                                 {{ThreeNames[2], "0x1,0x3"}, {"dss@22:host9", "0x4"}}, &applied));
    EXPECT_EQ(5u, applied);
    EXPECT_EQ(sorted({ThreeNames[1], ThreeNames[2], "dss@22:host9"}),
              sorted(allNames(api(), handle)));
    EXPECT_EQ("0x1,0x3", dataOf(api(), handle, ThreeNames[2]));
    EXPECT_EQ("0x4", dataOf(api(), handle, "dss@22:host9"));
}

// Creating

TEST_P(RegistryApiContract, CreatingAMissingKeyMakesItOnItsFirstSet) {
    scratch = backend->missingKey();
    const Api::Handle root = Api::rootHandle(scratch.root);
    Api::Handle created = Api::NotOpen;
    ASSERT_EQ(Api::Success, api().createKey(root, scratch.path.c_str(), &created));
    key = created;
    EXPECT_EQ(0u, valueCount(api(), created));
    EXPECT_EQ(Api::Success, setText(api(), created, "rsa2@22:host1", "0x3,0x5"));
    Api::Handle fresh = Api::NotOpen;
    ASSERT_EQ(Api::Success, api().openKey(root, scratch.path.c_str(), &fresh));
    EXPECT_EQ("0x3,0x5", dataOf(api(), fresh, "rsa2@22:host1"));
    EXPECT_EQ(1u, valueCount(api(), fresh));
    EXPECT_EQ(Api::Success, api().closeKey(fresh));
}

TEST_P(RegistryApiContract, CreatingAnExistingKeyOpensItWithItsValues) {
    openScratch(ThreeNames);
    Api::Handle created = Api::NotOpen;
    ASSERT_EQ(Api::Success,
              api().createKey(Api::rootHandle(scratch.root), scratch.path.c_str(), &created));
    EXPECT_EQ(3u, valueCount(api(), created));
    EXPECT_EQ(Api::Success, setText(api(), created, "dss@22:host9", "0x4"));
    EXPECT_EQ(Api::Success, api().closeKey(created));
    Api::Handle fresh = Api::NotOpen;
    ASSERT_EQ(Api::Success,
              api().openKey(Api::rootHandle(scratch.root), scratch.path.c_str(), &fresh));
    std::vector<std::string> expected = ThreeNames;
    expected.push_back("dss@22:host9");
    EXPECT_EQ(sorted(expected), sorted(allNames(api(), fresh)));
    EXPECT_EQ("0x1,0x2", dataOf(api(), fresh, ThreeNames[1]));
    EXPECT_EQ(Api::Success, api().closeKey(fresh));
}

// Closing

TEST_P(RegistryApiContract, ClosedHandleIsRefused) {
    const Api::Handle handle = openScratch({"rsa2@22:host1"});
    ASSERT_NE(Api::NotOpen, handle);
    EXPECT_EQ(Api::Success, api().closeKey(handle));
    key = Api::NotOpen;
    std::uint32_t count = 0;
    EXPECT_NE(Api::Success, api().queryInfoKey(handle, nullptr, nullptr, nullptr, &count, nullptr,
                                               nullptr, nullptr));
}

TEST_P(RegistryApiContract, RootKeysStayOpenWhenClosed) {
    openScratch({"rsa2@22:host1"});
    const Api::Handle root = Api::rootHandle(scratch.root);
    EXPECT_EQ(Api::Success, api().closeKey(root));
    Api::Handle handle = Api::NotOpen;
    ASSERT_EQ(Api::Success, api().openKey(root, scratch.path.c_str(), &handle));
    EXPECT_EQ(1u, valueCount(api(), handle));
    EXPECT_EQ(Api::Success, api().closeKey(handle));
    // Every predefined key, HKEY_CLASSES_ROOT to HKEY_CURRENT_USER_LOCAL_SETTINGS, alike.
    for (std::uint32_t predefined = 0x80000000u; predefined <= 0x80000007u; ++predefined) {
        EXPECT_EQ(Api::Success, api().closeKey(Api::rootHandle(predefined))) << predefined;
    }
}

TEST_P(RegistryApiContract, NotOpenMarkerIsRefused) {
    openScratch({"rsa2@22:host1"});
    std::uint32_t count = 0;
    EXPECT_NE(Api::Success, api().queryInfoKey(Api::NotOpen, nullptr, nullptr, nullptr, &count,
                                               nullptr, nullptr, nullptr));
    char name[64] = {};
    std::uint32_t length = sizeof name;
    EXPECT_NE(Api::Success,
              api().enumValue(Api::NotOpen, 0, name, &length, nullptr, nullptr, nullptr));
    EXPECT_NE(Api::Success, api().deleteValue(Api::NotOpen, "rsa2@22:host1"));
    EXPECT_EQ(1u, valueCount(api(), key));
}

} // namespace hktest
