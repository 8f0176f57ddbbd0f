#include "PAL/RegistryKeyDescriptor.h"
#include "PAL/PuttyCache.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>

namespace {

using PAL::RegistryConstants;
using PAL::RegistryKeyDescriptor;

struct RootRow {
    std::int32_t root;
    std::uint32_t handle;
    const char* name;
    const char* text; // of a descriptor with the path "P"
};

TEST(RootKeys, MapToHandleNameAndText) {
    const RootRow rows[] = {
        {RegistryConstants::LocalMachine, 0x80000002u, "Local Machine",
         "<0x80000002 (Local Machine) : P> "},
        {RegistryConstants::Users, 0x80000003u, "Users", "<0x80000003 (Users) : P> "},
        {RegistryConstants::CurrentUser, 0x80000001u, "Current User",
         "<0x80000001 (Current User) : P> "},
        // Anything else is not a root; the descriptor still keeps the number.
        {-1, 0xFFFFFFFFu, "Invalid Root Key", "<0xFFFFFFFF (Invalid Root Key) : P> "},
        {3, 0xFFFFFFFFu, "Invalid Root Key", "<0xFFFFFFFF (Invalid Root Key) : P> "},
        {INT_MAX, 0xFFFFFFFFu, "Invalid Root Key", "<0xFFFFFFFF (Invalid Root Key) : P> "},
        {INT_MIN, 0xFFFFFFFFu, "Invalid Root Key", "<0xFFFFFFFF (Invalid Root Key) : P> "},
    };
    for (const RootRow& row : rows) {
        SCOPED_TRACE(testing::Message() << "root " << row.root);
        EXPECT_EQ(row.handle, RegistryConstants::getRootKeyHandle(row.root));
        EXPECT_STREQ(row.name, RegistryConstants::getRootKeyName(row.root));
        const RegistryKeyDescriptor key(row.root, "P");
        EXPECT_EQ(row.root, key.getRoot());
        EXPECT_EQ(row.text, key.toString());
    }
}

TEST(DescriptorText, ShowsThePathAsStoredAndEndsInABlank) {
    EXPECT_EQ("<0x80000001 (Current User) : Software\\SimonTatham\\PuTTY\\SshHostKeys> ",
              RegistryKeyDescriptor(RegistryConstants::CurrentUser,
                                    "Software\\SimonTatham\\PuTTY\\SshHostKeys")
                  .toString());
    EXPECT_EQ("<0xFFFFFFFF (Invalid Root Key) : > ", RegistryKeyDescriptor(7, "").toString());
    EXPECT_EQ("<0x80000003 (Users) :  a\\ > ",
              RegistryKeyDescriptor(RegistryConstants::Users, " a\\ ").toString());
}

TEST(PuttyCache, FixedRootsAndPaths) {
    EXPECT_EQ(PAL::RegistryConstants::Users, PAL::defaultUserCache().getRoot());
    EXPECT_EQ(".DEFAULT\\Software\\SimonTatham\\PuTTY\\SshHostKeys",
              PAL::defaultUserCache().getSubKey());
    EXPECT_EQ(PAL::RegistryConstants::CurrentUser, PAL::currentUserCache().getRoot());
    EXPECT_EQ("Software\\SimonTatham\\PuTTY\\SshHostKeys", PAL::currentUserCache().getSubKey());
}

TEST(DescriptorCopy, CopiesAreIndependent) {
    const RegistryKeyDescriptor source(RegistryConstants::Users, ".DEFAULT\\Software");

    RegistryKeyDescriptor copy(source);
    EXPECT_EQ(source.getRoot(), copy.getRoot());
    EXPECT_EQ(source.getSubKey(), copy.getSubKey());

    RegistryKeyDescriptor assigned(RegistryConstants::CurrentUser, "elsewhere");
    assigned = source;
    EXPECT_EQ(source.toString(), assigned.toString());

    copy = RegistryKeyDescriptor(-5, "changed");
    assigned = RegistryKeyDescriptor(RegistryConstants::LocalMachine, "");
    EXPECT_EQ(RegistryConstants::Users, source.getRoot());
    EXPECT_EQ(".DEFAULT\\Software", source.getSubKey());
    EXPECT_EQ(-5, copy.getRoot());
    EXPECT_EQ("changed", copy.getSubKey());
}

} // namespace
