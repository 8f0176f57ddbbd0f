#include "PAL/Exception.h"

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>

namespace {

const PAL::RegistryKeyDescriptor CacheKey(PAL::RegistryConstants::CurrentUser,
                                          "Software\\SimonTatham\\PuTTY\\SshHostKeys");

// One of each concrete class, all built from the same message, code and location.
struct Three {
    PAL::RuntimeError runtime;
    PAL::InvalidArgument invalid;
    PAL::RegistryKeyError registry;

    Three(const std::string& message, int code, const std::string& location)
        : runtime(message, code, location), invalid(message, code, location),
          registry(CacheKey, message, code, location) {}
};

struct TextRow {
    const char* message;
    int code;
    const char* location;
    const char* text;
};

TEST(ExceptionText, IsLocationMessageAndUnsignedCode) {
    const TextRow rows[] = {
        {"no code", 0, "F():src/a:1", "F():src/a:1 : no code : (0)"},
        {"not found", 2, "F():src/a:1", "F():src/a:1 : not found : (2)"},
        {"minus one", -1, "F():src/a:1", "F():src/a:1 : minus one : (4294967295)"},
        {"lowest", INT_MIN, "L", "L : lowest : (2147483648)"},
        {"highest", INT_MAX, "L", "L : highest : (2147483647)"},
        {"", 0, "L", "L :  : (0)"}, // empty message: two blanks between the colons
        {"m", 5, "", " : m : (5)"},
    };
    for (const TextRow& row : rows) {
        SCOPED_TRACE(row.text);
        const Three e(row.message, row.code, row.location);
        for (const PAL::Exception* base : {static_cast<const PAL::Exception*>(&e.runtime),
                                           static_cast<const PAL::Exception*>(&e.invalid),
                                           static_cast<const PAL::Exception*>(&e.registry)}) {
            EXPECT_EQ(row.text, base->getMessage());
            EXPECT_EQ(row.code, base->getCode());
            EXPECT_EQ(row.location, base->getLocation());
        }
        EXPECT_STREQ(row.text, e.runtime.what());
        EXPECT_STREQ(row.text, e.invalid.what());
        EXPECT_STREQ(row.text, e.registry.what());
    }
}

TEST(ExceptionText, RegistryErrorKeepsItsOwnCopyOfTheKey) {
    std::unique_ptr<PAL::RegistryKeyDescriptor> key =
        std::make_unique<PAL::RegistryKeyDescriptor>(PAL::RegistryConstants::Users, ".DEFAULT\\x");
    const PAL::RegistryKeyError e(*key, "error opening key" + key->toString(), 2,
                                  "RegistryKey::getKey():provider/include/PAL/Registry:88");
    key.reset();
    EXPECT_EQ(PAL::RegistryConstants::Users, e.getKey().getRoot());
    EXPECT_EQ(".DEFAULT\\x", e.getKey().getSubKey());
    EXPECT_STREQ("RegistryKey::getKey():provider/include/PAL/Registry:88 : error opening key"
                 "<0x80000003 (Users) : .DEFAULT\\x>  : (2)",
                 e.what());
}

// ---- Copies and base parts --------------------------------------------------------------------

// A copy, and an object assigned from the original, must read their own text: they keep it when
// the original is overwritten, and after it is gone (ASan reports a link left pointing at it).
template <typename E, typename... Key>
void expectCopiesStandAlone(const Key&... key) {
    auto original = std::make_unique<E>(key..., "first", 7, "Here():src/x:1");
    const std::string text = original->what();
    const E copied(*original);
    E assigned(key..., "other", 1, "There():src/y:2");
    assigned = *original;

    *original = E(key..., "replaced", 9, "Elsewhere():src/z:3");
    original.reset();

    for (const E* e : {&copied, static_cast<const E*>(&assigned)}) {
        EXPECT_EQ(text, e->getMessage());
        EXPECT_STREQ(text.c_str(), e->what());
        EXPECT_EQ(7, e->getCode());
        EXPECT_EQ("Here():src/x:1", e->getLocation());
    }
}

TEST(ExceptionCopy, ReadsItsOwnText) {
    {
        SCOPED_TRACE("RuntimeError");
        expectCopiesStandAlone<PAL::RuntimeError>();
    }
    {
        SCOPED_TRACE("InvalidArgument");
        expectCopiesStandAlone<PAL::InvalidArgument>();
    }
    {
        SCOPED_TRACE("RegistryKeyError");
        expectCopiesStandAlone<PAL::RegistryKeyError>(CacheKey);
    }
}

TEST(ExceptionCopy, RegistryErrorCopiesTheKey) {
    PAL::RegistryKeyError original(CacheKey, "m", 2, "L");
    const PAL::RegistryKeyError copied(original);
    original = PAL::RegistryKeyError(PAL::RegistryKeyDescriptor(7, "other"), "m", 2, "L");
    EXPECT_EQ(PAL::RegistryConstants::CurrentUser, copied.getKey().getRoot());
    EXPECT_EQ(CacheKey.getSubKey(), copied.getKey().getSubKey());
    EXPECT_EQ(7, original.getKey().getRoot());
}

TEST(ExceptionBase, EveryBaseReachesTheSameText) {
    const PAL::RegistryKeyError e(CacheKey, "error opening key" + CacheKey.toString(), 2, "L");
    const PAL::Exception& pal = e;
    const std::runtime_error& runtime = e;
    const std::exception& standard = e;
    EXPECT_EQ(e.what(), pal.getMessage());
    EXPECT_STREQ(e.what(), runtime.what());
    EXPECT_STREQ(e.what(), standard.what());

    const PAL::InvalidArgument invalid("m", 0, "L");
    EXPECT_EQ(std::string(invalid.what()),
              static_cast<const PAL::Exception&>(invalid).getMessage());
}

TEST(ExceptionBase, ThrownExceptionsAreCaughtAsEitherBase) {
    EXPECT_THROW(throw PAL::RegistryKeyError(CacheKey, "m", 2, "L"), std::runtime_error);
    EXPECT_THROW(throw PAL::RegistryKeyError(CacheKey, "m", 2, "L"), PAL::RuntimeError);
    EXPECT_THROW(throw PAL::RegistryKeyError(CacheKey, "m", 2, "L"), PAL::Exception);
    EXPECT_THROW(throw PAL::InvalidArgument("m", 0, "L"), std::invalid_argument);
    EXPECT_THROW(throw PAL::InvalidArgument("m", 0, "L"), PAL::Exception);
}

TEST(ExceptionStream, AppendsExactlyTheMessage) {
    std::ostringstream out;
    out << "before|";
    out << PAL::RegistryKeyError(CacheKey, "m", 2, "L");
    out << static_cast<const PAL::Exception&>(PAL::InvalidArgument("", 0, ""));
    EXPECT_EQ("before|L : m : (2) :  : (0)", out.str());
}

TEST(ExceptionLifetime, DestroyedThroughEitherBaseReleasesEverything) {
    // Texts long enough to live on the heap, so LeakSanitizer sees any that is not released.
    const std::string text(300, 't');
    const PAL::RegistryKeyDescriptor key(PAL::RegistryConstants::Users, text);

    std::unique_ptr<PAL::Exception> viaPal =
        std::make_unique<PAL::RegistryKeyError>(key, text, 1, text);
    std::unique_ptr<std::exception> viaStandard =
        std::make_unique<PAL::RegistryKeyError>(key, text, 1, text);
    std::unique_ptr<PAL::Exception> invalid = std::make_unique<PAL::InvalidArgument>(text, 1, text);

    const std::string expected = text + " : " + text + " : (1)";
    EXPECT_EQ(expected, viaPal->getMessage());
    EXPECT_EQ(expected, viaStandard->what());
    EXPECT_EQ(expected, invalid->getMessage());
    viaPal.reset();
    viaStandard.reset();
    invalid.reset();
}

} // namespace
