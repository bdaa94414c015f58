#include <gtest/gtest.h>

#include <sstream>

#include "auralith/core/ModelVariant.hpp"

using auralith::ModelVariant;

TEST(ModelVariant, DescriptionsAndLanguageSupportInCaseOrder) {
    struct Row {
        const char* description;
        bool multilingual;
    };
    const Row rows[] = {
        {"tiny", true},  {"tiny.en", false},  {"base", true},     {"base.en", false},
        {"small", true}, {"small.en", false}, {"medium", true},   {"medium.en", false},
        {"large", true}, {"large-v2", true},  {"large-v3", true},
    };
    ASSERT_EQ(auralith::allModelVariants.size(), std::size(rows));
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const ModelVariant variant = auralith::allModelVariants[i];
        EXPECT_EQ(static_cast<std::size_t>(variant), i);
        EXPECT_EQ(auralith::description(variant), rows[i].description);
        EXPECT_EQ(auralith::isMultilingual(variant), rows[i].multilingual) << rows[i].description;
        std::ostringstream text;
        text << variant;
        EXPECT_EQ(text.str(), rows[i].description);
    }
}
