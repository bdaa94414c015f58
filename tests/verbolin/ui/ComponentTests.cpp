// The word-diff view and the level meter.
#include <gtest/gtest.h>

#include <QImage>
#include <QTextBlock>
#include <QTextDocument>

#include "verbolin/ui/LevelMeter.hpp"
#include "verbolin/ui/WordDiffText.hpp"

namespace {

using verbolin::WordDiffText;

// "=kept -removed +added", one step per word.
std::string steps(const QString& before, const QString& after) {
    std::string out;
    for (const auto& op :
         WordDiffText::diff(WordDiffText::words(before), WordDiffText::words(after))) {
        const char sign = op.kind == WordDiffText::Op::Kind::same      ? '='
                          : op.kind == WordDiffText::Op::Kind::removed ? '-'
                                                                       : '+';
        out += (out.empty() ? "" : " ") + std::string(1, sign) + op.word.toStdString();
    }
    return out;
}

TEST(WordDiffTest, StepsFollowTheLongestCommonSubsequence) {
    struct Case {
        const char *before, *after, *expected;
    };
    const Case cases[] = {
        {"", "", ""},
        {"   ", " ", ""},
        {"", "new words", "+new +words"},
        {"old words", "", "-old -words"},
        {"same text", "same text", "=same =text"},
        {"the cat sat", "the bat sat", "=the -cat +bat =sat"},  // a tie removes first
        {"a b", "b a", "-a =b +a"},
        {"Hello world", "hello world", "-Hello +hello =world"},
        {"a  b ", " a b", "=a =b"},
        {"a\tb c", "a b c", "-a\tb +a +b =c"},  // only spaces separate words
        {"the quick brown fox", "the quick red fox jumps", "=the =quick -brown +red =fox +jumps"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(steps(c.before, c.after), c.expected) << c.before << " -> " << c.after;
}

TEST(WordDiffTest, CanonicallyEquivalentWordsAreKeptAsWrittenBefore) {
    const QString composed = QString::fromUtf8("caf\u00e9"),
                  decomposed = QString::fromUtf8("cafe\u0301");
    const auto ops = WordDiffText::diff({composed}, {decomposed});
    ASSERT_EQ(ops.size(), 1u);
    EXPECT_EQ(ops[0], (WordDiffText::Op{WordDiffText::Op::Kind::same, composed}));
}

TEST(WordDiffTest, ViewStylesEachWordWithATrailingSpace) {
    WordDiffText view(QStringLiteral("the quick brown <fox>"),
                      QStringLiteral("the quick red <fox> jumps"));
    QTextDocument doc;
    doc.setHtml(view.text());
    std::vector<std::string> runs;  // "text|strike|colour"
    for (auto it = doc.begin().begin(); !it.atEnd(); ++it) {
        const QTextCharFormat f = it.fragment().charFormat();
        const QColor c = f.foreground().color();
        const char* colour = c == QColor(255, 0, 0)   ? "red"
                             : c == QColor(0, 160, 0) ? "green"
                                                      : "secondary";
        runs.push_back(it.fragment().text().toStdString() + "|" + (f.fontStrikeOut() ? "s" : "") +
                       "|" + colour);
    }
    // Neighbouring words of one style merge into one fragment.
    EXPECT_EQ(runs,
              (std::vector<std::string>{"the quick ||secondary", "brown |s|red", "red ||green",
                                        "<fox> ||secondary", "jumps ||green"}));
}

// Green pixels along the middle row of the meter.
int greenColumns(verbolin::LevelMeter& meter) {
    const QImage img = meter.grab().toImage();
    int n = 0;
    for (int x = 0; x < img.width(); ++x) {
        const QColor c = img.pixelColor(x, img.height() / 2);
        n += c.green() > 150 && c.red() < 100 && c.blue() < 100;
    }
    return n;
}

TEST(LevelMeterTest, FillFollowsTheLevelWhileActive) {
    verbolin::LevelMeter meter;
    meter.resize(200, 10);
    meter.setActive(true);
    struct Case {
        float level;
        int expected;
    };
    for (const Case c : {Case{0.0f, 0}, Case{0.5f, 100}, Case{1.0f, 200}}) {
        meter.setLevel(c.level);
        meter.finishAnimation();
        // The capsule's rounded ends take a few columns off a full bar's middle row edge at most.
        EXPECT_NEAR(greenColumns(meter), c.expected, 2) << c.level;
    }
    meter.setActive(false);
    EXPECT_EQ(greenColumns(meter), 0);
    EXPECT_EQ(verbolin::LevelMeter::barWidth(NAN, true, 200), 0);
}

}  // namespace
