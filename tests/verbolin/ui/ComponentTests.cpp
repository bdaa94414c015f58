// The word-diff view and the level meter.
#include <gtest/gtest.h>

#include <QImage>
#include <QTextBlock>
#include <QTextDocument>

#include "verbolin/ui/LevelMeter.hpp"
#include "verbolin/ui/WordDiffText.hpp"

namespace {

using verbolin::WordDiffText;

using Ops = std::vector<WordDiffText::Op>;

// The diff as it was first written: the walk over a table of every pair of
// words, which the diff must match step for step.
Ops referenceDiff(const QStringList& a, const QStringList& b) {
    QStringList na, nb;
    for (const QString& w : a) na << w.normalized(QString::NormalizationForm_C);
    for (const QString& w : b) nb << w.normalized(QString::NormalizationForm_C);
    const size_t n = na.size(), m = nb.size(), cols = m + 1;
    std::vector<int> L((n + 1) * cols, 0);
    auto at = [&](size_t i, size_t j) -> int& { return L[i * cols + j]; };
    for (size_t i = n; i-- > 0;)
        for (size_t j = m; j-- > 0;)
            at(i, j) = na[i] == nb[j] ? at(i + 1, j + 1) + 1 : std::max(at(i + 1, j), at(i, j + 1));
    Ops ops;
    size_t i = 0, j = 0;
    using Kind = WordDiffText::Op::Kind;
    while (i < n && j < m) {
        if (na[i] == nb[j])
            ops.push_back({Kind::same, a[i]}), ++i, ++j;
        else if (at(i + 1, j) >= at(i, j + 1))
            ops.push_back({Kind::removed, a[i++]});
        else
            ops.push_back({Kind::added, b[j++]});
    }
    for (; i < n; ++i) ops.push_back({Kind::removed, a[i]});
    for (; j < m; ++j) ops.push_back({Kind::added, b[j]});
    return ops;
}

// "=kept -removed +added", one step per word.
std::string steps(const Ops& ops) {
    std::string out;
    for (const auto& op : ops) {
        const char sign = op.kind == WordDiffText::Op::Kind::same      ? '='
                          : op.kind == WordDiffText::Op::Kind::removed ? '-'
                                                                       : '+';
        out += (out.empty() ? "" : " ") + std::string(1, sign) + op.word.toStdString();
    }
    return out;
}

std::string steps(const QString& before, const QString& after) {
    return steps(WordDiffText::diff(WordDiffText::words(before), WordDiffText::words(after)));
}

std::string referenceSteps(const QString& before, const QString& after) {
    return steps(referenceDiff(WordDiffText::words(before), WordDiffText::words(after)));
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
        // A common tail that the other text's middle holds too: the walk
        // keeps a tail word at its first match.
        {"x w", "w w", "-x =w +w"},
        {"w w", "x w", "-w +x =w"},
        {"a x b c", "a b c b c", "=a -x =b =c +b +c"},
        {"a b c b c", "a x b c", "=a -b -c +x =b =c"},
        {"q z", "z q z", "+z =q =z"},
        {"a c", "a b c", "=a +b =c"},
        {"one two", "one two three", "=one =two +three"},    // typed at the end
        {"two three", "one two three", "+one =two =three"},  // and at the start
    };
    for (const Case& c : cases) {
        EXPECT_EQ(steps(c.before, c.after), c.expected) << c.before << " -> " << c.after;
        EXPECT_EQ(steps(c.before, c.after), referenceSteps(c.before, c.after)) << c.before;
    }
}

// Every pair of short texts over a few words (where ties and repeated words
// abound), and a long paragraph edited at its end, start and middle, diff as
// the walk over every pair of words does.
TEST(WordDiffTest, MatchesTheWalkOverEveryPairOfWords) {
    std::vector<QString> texts{QString()};
    for (size_t length = 1, count = 3; length <= 4; ++length, count *= 3)
        for (size_t code = 0; code < count; ++code) {
            QStringList words;
            for (size_t k = 0, c = code; k < length; ++k, c /= 3)
                words << QString(QChar(u'a' + char16_t(c % 3)));
            texts.push_back(words.join(u' '));
        }
    for (const QString& before : texts)
        for (const QString& after : texts)
            ASSERT_EQ(steps(before, after), referenceSteps(before, after))
                << before.toStdString() << " -> " << after.toStdString();

    QStringList words;
    for (int i = 0; words.join(u' ').size() < 25000; ++i)
        words << QStringLiteral("word%1").arg((i * 7919) % 613);
    const QString paragraph = words.join(u' ');
    const QString middle = QStringLiteral(" word5 word5 typed word12 ");
    for (const QString& edited :
         {paragraph + QStringLiteral(" and more word1"), QStringLiteral("word0 So ") + paragraph,
          QString(paragraph).replace(paragraph.size() / 2, 40, middle),
          QString(paragraph).replace(QStringLiteral("word1 "), QStringLiteral("word2 "))})
        EXPECT_EQ(steps(paragraph, edited), referenceSteps(paragraph, edited));
}

// Two long texts that differ between their head and tail would need a
// table of 40 GB: their middles are said as replaced whole.
TEST(WordDiffTest, AMiddleTooLargeForTheTableIsReplacedWhole) {
    QStringList before{"Head"}, after{"Head"};
    for (int i = 0; i < 100000; ++i) before << QStringLiteral("a%1").arg(i), after << "b";
    before << "tail", after << "tail";
    const Ops ops = WordDiffText::diff(before, after);
    ASSERT_EQ(ops.size(), 200002u);
    using Kind = WordDiffText::Op::Kind;
    EXPECT_EQ(ops[0], (WordDiffText::Op{Kind::same, "Head"}));
    EXPECT_EQ(ops[100000], (WordDiffText::Op{Kind::removed, "a99999"}));
    EXPECT_EQ(ops[100001], (WordDiffText::Op{Kind::added, "b"}));
    EXPECT_EQ(ops.back(), (WordDiffText::Op{Kind::same, "tail"}));
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
