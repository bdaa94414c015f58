#include <gtest/gtest.h>

#include <random>

#include "verbolin/ui/LongParagraph.hpp"
#include "verbolin/ui/ParagraphRanges.hpp"
#include "verbolin/ui/TimelineEditMapper.hpp"
#include "verbolin/ui/TimelineRenderer.hpp"
#include "verbolin/ui/TimelineTestSupport.hpp"
#include "verbolin/ui/TimelineUpdatePlanner.hpp"

using namespace verbolin;
using uitest::block;

namespace {

double spacingAt(const AttributedText& t, int index) {
    return t.attributesAt(index)->paragraph->spacingBefore;
}

TEST(TimelineRenderer, SpacingFollowsGapSessionAndPosition) {
    struct Case {
        double gap;
        bool section;
        double factor;
    } cases[] = {{299.9, false, 0.6}, {300.0, false, 2.4}, {1.0, true, 2.4}, {5000, true, 2.4}};
    for (const Case& c : cases) {
        Block a = block(0, 10, "First."), b = block(10 + c.gap, 20 + c.gap, "Second.");
        std::unordered_set<platform::Uuid> sections;
        if (c.section) sections = {a.id, b.id};  // the first paragraph never gets spacing
        std::vector<Block> blocks{a, b};
        AttributedText t = TimelineRenderer::render(blocks, nullptr, 20, sections);
        EXPECT_EQ(t.string(), QStringLiteral("First.\nSecond.")) << c.gap;
        EXPECT_EQ(spacingAt(t, 0), 0) << c.gap;
        EXPECT_TRUE(t.attributesAt(6)->separator);
        EXPECT_FALSE(t.attributesAt(6)->blockId.has_value());
        EXPECT_DOUBLE_EQ(spacingAt(t, 7), 20 * c.factor) << c.gap;
    }
    EXPECT_TRUE(TimelineRenderer::render({}, nullptr, 20, {}).empty());
}

TEST(TimelineRenderer, TailRenderingEqualsSuffixOfFullRendering) {
    std::vector<Block> blocks;
    double t = 0;
    for (int i = 0; i < 12; ++i) {
        t += (i % 4 == 3) ? 400 : 5;
        // Empty paragraphs among them, the last one too: each is the empty
        // line after its separator.
        const std::string text = i == 5              ? "two\nlines"
                                 : i == 8 || i == 11 ? std::string()
                                                     : "Paragraph " + std::to_string(i);
        blocks.push_back(block(t, t + 3, text));
        t += 3;
    }
    std::unordered_set<platform::Uuid> sections{blocks[7].id};
    AttributedText full = TimelineRenderer::render(blocks, nullptr, 26, sections);
    auto ranges = blockRanges(full);
    ASSERT_EQ(ranges.size(), blocks.size());
    EXPECT_EQ(ranges[8].length, 0);
    EXPECT_EQ(ranges[11], (ParagraphRange{ranges[11].id, full.length(), 0}));
    for (size_t k = 1; k < blocks.size(); ++k) {
        EXPECT_EQ(ranges[k].id, QString::fromStdString(blocks[k].id.string()));
        AttributedText tail =
            TimelineRenderer::render(std::span(blocks).subspan(k), &blocks[k - 1], 26, sections);
        int from = ranges[k].location - 1;
        EXPECT_EQ(tail, full.mid(from, full.length() - from)) << k;
    }
}

// Text rendered at one size and taken to another reads exactly as a
// rendering at the other: sizes, line spacing and the space above each
// paragraph, a part's line and a long paragraph's notice. Text of no
// rendering at that size is refused.
TEST(TimelineRenderer, ResizedTextEqualsARenderingAtTheNewSize) {
    std::string parted, unbroken;
    while (parted.size() < 20'000) parted += "A sentence of a long paragraph. ";
    while (unbroken.size() < 900) unbroken += "\u27FF";
    std::vector<Block> blocks{block(0, 1, "First."),
                              block(2, 3, "After a pause."),
                              block(400, 401, "two\nlines"),
                              block(402, 403, ""),
                              block(404, 405, parted),
                              block(406, 407, unbroken),
                              block(408, 409, std::string(LongParagraph::kLimit + 1, 'x'))};
    const std::unordered_set<platform::Uuid> sections{blocks[1].id};
    for (const auto& [from, to] :
         {std::pair(26.0, 64.0), std::pair(64.0, 63.0), std::pair(20.0, 26.5)}) {
        const AttributedText was = TimelineRenderer::render(blocks, nullptr, from, sections);
        const auto resized = TimelineRenderer::resized(was, from, to);
        ASSERT_TRUE(resized.has_value()) << from << " to " << to;
        EXPECT_TRUE(*resized == TimelineRenderer::render(blocks, nullptr, to, sections)) << to;
        EXPECT_FALSE(TimelineRenderer::resized(was, from + 1, to).has_value()) << from;
    }
}

TEST(TimelineRenderer, TypedLineFeedKeepsSpacingOnFirstLineOnly) {
    std::vector<Block> blocks{block(0, 1, "A"), block(1000, 1001, "one\ntwo")};
    AttributedText t = TimelineRenderer::render(blocks, nullptr, 10, {});
    ASSERT_EQ(t.string(), QStringLiteral("A\none\ntwo"));
    EXPECT_DOUBLE_EQ(spacingAt(t, 2), 24);  // "one"
    EXPECT_DOUBLE_EQ(spacingAt(t, 5), 24);  // its line feed
    EXPECT_DOUBLE_EQ(spacingAt(t, 6), 0);   // "two"
    EXPECT_EQ(*t.attributesAt(6)->blockId, *t.attributesAt(2)->blockId);
}

TEST(TimelineRenderer, GapTextTruncatesMinutes) {
    std::pair<double, const char*> cases[] = {{300, "5 min later"},       {359.9, "5 min later"},
                                              {3599, "59 min later"},     {3600, "1 h later"},
                                              {5400, "1 h 30 min later"}, {7260, "2 h 1 min later"},
                                              {90000, "25 h later"}};
    for (auto [seconds, text] : cases)
        EXPECT_EQ(TimelineRenderer::gapText(seconds), text) << seconds;
}

TEST(TimelineRenderer, PlainTextReadsSeparatorsAsOneBlankLine) {
    std::vector<Block> blocks{block(0, 1, "Alpha"), block(5, 6, "Beta\nline"),
                              block(10, 11, "Gamma")};
    AttributedText t = TimelineRenderer::render(blocks, nullptr, 20, {});
    auto r = blockRanges(t);
    EXPECT_EQ(TimelineRenderer::plainText(t, 0, t.length()),
              QStringLiteral("Alpha\n\nBeta\nline\n\nGamma"));
    EXPECT_EQ(TimelineRenderer::plainText(t, r[1].location - 1, r[1].length + 1),
              QStringLiteral("Beta\nline"));
    EXPECT_EQ(TimelineRenderer::plainText(t, r[0].end(), 1), QString());
    EXPECT_EQ(TimelineRenderer::bodyAttributes(20, blocks[0].id, 0).count(), 4);
    EXPECT_EQ(TimelineRenderer::separatorAttributes(20, blocks[1].id, 12).count(), 4);
}

// A paragraph too long to lay out shows its start, cut between characters,
// then a line saying so. What is shown of it is never read as an edit of
// it, no key may change it, and a copy of it takes the start alone; the
// paragraphs beside it are edited as ever.
TEST(TimelineRenderer, LongParagraphShowsItsStartAndIsNeverChanged) {
    constexpr int L = LongParagraph::kLimit, S = LongParagraph::kShown;
    const auto repeated = [](const char* part, qsizetype units) {
        QString out;
        while (out.size() < units) out += QString::fromUtf8(part);
        return out.left(units);
    };
    // `head` then enough text to take it past the limit.
    const auto pastLimit = [&](const QString& head) { return head + repeated("bc ", L); };
    const struct {
        const char* name;
        QString text;
        int shown;  // units of it shown; -1: whole
    } rows[] = {
        {"exactly at the limit", repeated("ab ", L), -1},
        {"one past it", repeated("ab ", L + 1), S},
        {"a surrogate pair across the cut",
         pastLimit(repeated("a", S - 1) + QString::fromUtf8("\U0001F600")), S - 1},
        {"a combining accent right at the cut",
         pastLimit(repeated("a", S - 1) + QString::fromUtf8("e\u0301")), S - 1},
        {"a skin tone right at the cut",
         pastLimit(repeated("a", S - 2) + QString::fromUtf8("\U0001F44D\U0001F3FD")), S - 2},
        {"four megabytes without a space", repeated("x", 4 << 20), S},
        {"four megabytes of lines", repeated("A line of dictation.\n", 4 << 20), S},
    };
    const std::optional<QString> none;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<Block> blocks{block(0, 1, "Before."), block(10, 11, row.text.toStdString()),
                                  block(20, 21, "After.")};
        AttributedText t = TimelineRenderer::render(blocks, nullptr, 20, {});
        const auto r = blockRanges(t);
        ASSERT_EQ(r.size(), 3u);
        const QString start = row.shown < 0 ? row.text : row.text.left(row.shown);
        const QString notice = LongParagraph::notice(row.text.toUcs4().size());
        // Shown with break opportunities in long stretches without a space,
        // which no copy takes.
        QString shown = paragraphText(t, r[1]);
        shown.remove(QChar(0x200B));
        EXPECT_TRUE(shown == (row.shown < 0 ? row.text : start + QLatin1Char('\n') + notice));
        EXPECT_TRUE(TimelineRenderer::plainText(t, r[1].location, r[1].length) == start.trimmed());
        const auto keys = TimelineUpdatePlanner::paragraphKeys(blocks);
        EXPECT_TRUE(TimelineEditMapper::collectEdits(t, blockRanges(t), keys).edits.empty());

        const bool cut = row.shown >= 0;
        for (const auto& [pos, len] : {std::pair{r[1].location, 0},
                                       {r[1].location + 2, 3},
                                       {r[1].end(), 0},
                                       {r[1].end() - 3, 3}}) {
            EXPECT_EQ(TimelineEditMapper::shouldChange(t, pos, len, none), !cut) << pos;
            const char* why = TimelineEditMapper::whyRefused(t, r, pos, len, none);
            EXPECT_EQ(why ? std::string(why) : "", cut ? LongParagraph::kRefusal : "") << pos;
        }
        EXPECT_TRUE(TimelineEditMapper::shouldChange(t, r[2].location, 0, none));
        EXPECT_TRUE(TimelineEditMapper::shouldChange(t, r[0].end(), 0, none));

        // A key in the paragraph after it is the only edit.
        t.replace(r[2].location, 0,
                  AttributedText(QStringLiteral("x"),
                                 TimelineRenderer::bodyAttributes(20, blocks[2].id, 0)));
        const EditMapping m = TimelineEditMapper::collectEdits(t, blockRanges(t), keys);
        ASSERT_EQ(m.edits.size(), 1u);
        EXPECT_EQ(m.edits[0].after, "xAfter.");
        ASSERT_EQ(m.keys.size(), 3u);
        EXPECT_TRUE(m.keys[1] == keys[1]);
    }
}

// The run list against a plain per-character reference, under random edits.
TEST(AttributedText, RandomEditsMatchPerCharacterReference) {
    std::mt19937 rng(7);
    std::vector<TextAttributes> palette(3);
    palette[1].blockId = QStringLiteral("A");
    palette[2].separator = true;
    AttributedText text;
    QString refText;
    std::vector<int> refAttr;
    for (int step = 0; step < 2000; ++step) {
        int len = int(rng() % 4), pos = refText.isEmpty() ? 0 : int(rng() % (refText.size() + 1));
        int cut = std::min<int>(int(rng() % 3), int(refText.size()) - pos);
        int a = int(rng() % 3);
        QString ins(len, QChar('a' + a));
        text.replace(pos, cut, AttributedText(ins, palette[a]));
        refText.replace(pos, cut, ins);
        refAttr.erase(refAttr.begin() + pos, refAttr.begin() + pos + cut);
        refAttr.insert(refAttr.begin() + pos, len, a);
        if (step % 97 == 0 && !refText.isEmpty()) {
            int p = int(rng() % refText.size()), n = int(rng() % 5);
            text.assignBlock(p, n, QStringLiteral("B"), 9);
            for (int i = p; i < std::min<int>(p + n, int(refText.size())); ++i) refAttr[i] += 10;
        }
        ASSERT_EQ(text.string(), refText);
        auto runs = text.runs();
        for (size_t i = 1; i < runs.size(); ++i)
            ASSERT_FALSE(runs[i - 1].attributes == runs[i].attributes);
        for (int i = 0; i < refText.size(); ++i) {
            TextAttributes want = palette[refAttr[i] % 10];
            if (refAttr[i] >= 10) {
                want.blockId = QStringLiteral("B");
                want.fontSize = 9;
            }
            ASSERT_EQ(*text.attributesAt(i), want) << step << " at " << i;
        }
    }
}

}  // namespace
