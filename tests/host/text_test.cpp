// The path composer at the edges of MAX_PATH.
#include "platform/text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(ComposePath, FitsOrRefusesWhole)
{
    struct {
        size_t folderLength;
        const char* suffix;
        BOOL fits;
    } const cases[] = {
        {0, "\\Kestovar.ocx", TRUE},   {12, "\\Kestovar.ocx", TRUE}, {246, "\\Kestovar.ocx", TRUE},
        {247, "\\Kestovar.ocx", FALSE}, {259, "", TRUE},              {260, "", FALSE},
        {258, "\\", TRUE},             {259, "\\", FALSE},           {400, "\\x", FALSE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.folderLength << " + " << c.suffix);
        const std::string folder(c.folderLength, 'f');
        char path[MAX_PATH + 4];
        std::memset(path, 'X', sizeof path);
        char (&inner)[MAX_PATH] = *reinterpret_cast<char (*)[MAX_PATH]>(path);
        EXPECT_EQ(c.fits, ComposePath(inner, folder.c_str(), c.suffix));
        EXPECT_EQ(c.fits ? folder + c.suffix : std::string(), std::string(path));
        EXPECT_EQ('X', path[MAX_PATH]) << "wrote past the buffer";
    }
}

TEST(ComposePath, KeepsTheFolderExactlyAsGiven)
{
    char path[MAX_PATH];
    EXPECT_TRUE(ComposePath(path, "C:\\Host\\", "\\Kestovar.ocx"));
    EXPECT_STREQ("C:\\Host\\\\Kestovar.ocx", path);
    EXPECT_EQ(21u, TextLength(path));
}

} // namespace
