#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/system/Url.hpp"

using platform::url::Schemes;

TEST(Url, ParsesOnlyWhatLibcurlTakesForAUrl) {
    struct Case {
        std::string text;
        bool supported;
        bool any;
    };
    const Case cases[] = {
        {"https://huggingface.co/api/models", true, true},
        {"http://127.0.0.1:8080/a?b=c#d", true, true},
        {"hf://models/whisper", false, true},
        {"", false, false},
        {"no scheme at all", false, false},
        {"https://", false, false},
        {"https://host:99999/", false, false},
        {"https://exa mple.com/", false, false},
        {std::string("https://host/a\0b", 16), true, true},  // read up to the NUL
    };
    for (const auto& c : cases) {
        EXPECT_EQ(platform::url::parses(c.text, Schemes::supported), c.supported) << c.text;
        EXPECT_EQ(platform::url::parses(c.text, Schemes::any), c.any) << c.text;
    }
}

TEST(Url, DecodedPathOfAnySchemeOrNoneForNoUrl) {
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {"https://h/a%20b/c.json?x=1#f", "/a b/c.json"},
        {"https://h", "/"},
        {"hf://repo/dir/file.bin", "/dir/file.bin"},
        {"https://h/%E2%9C%93", "/\u2713"},
        {"https://h/trailing/", "/trailing/"},
        {"relative/path", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [text, path] : cases)
        EXPECT_EQ(platform::url::decodedPath(text), path) << text;
}
