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
using Kind = WordDiffText::Op::Kind;

// The diff as it was first written, which the diff must match step for
// step: the walk over a table of every pair of words.
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
std::string steps(const QString& before, const QString& after,
                  Ops (*diff)(const QStringList&, const QStringList&) = WordDiffText::diff) {
    std::string out;
    for (const auto& op : diff(WordDiffText::words(before), WordDiffText::words(after))) {
        const char sign = op.kind == Kind::same ? '=' : op.kind == Kind::removed ? '-' : '+';
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
        // A common tail that the other text's middle holds too: the walk
        // keeps a tail word at its first match.
        {"x w", "w w", "-x =w +w"},
        {"a x b c", "a b c b c", "=a -x =b =c +b +c"},
        {"a b c b c", "a x b c", "=a -b -c +x =b =c"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(steps(c.before, c.after), c.expected) << c.before << " -> " << c.after;
        EXPECT_EQ(steps(c.before, c.after), steps(c.before, c.after, referenceDiff)) << c.before;
    }
}

// Every pair of short texts over three words (where ties and repeated words
// abound), and a long paragraph edited at its end, start and middle, diff as
// the walk over every pair of words does.
TEST(WordDiffTest, MatchesTheWalkOverEveryPairOfWords) {
    std::vector<QString> texts{QString()};
    for (size_t t = 0; texts.size() < 121; ++t)  // "a", ..., "c", "a a", ..., "c c c c"
        texts.push_back(texts[t / 3] + (t < 3 ? "" : " ") + QChar(u'a' + char16_t(t % 3)));
    for (const QString& before : texts)
        for (const QString& after : texts)
            ASSERT_EQ(steps(before, after), steps(before, after, referenceDiff))
                << before.toStdString() << " -> " << after.toStdString();

    QStringList words;
    for (int i = 0; words.join(u' ').size() < 25000; ++i)
        words << QStringLiteral("word%1").arg((i * 7919) % 613);
    const QString p = words.join(u' ');
    for (const QString& edited :
         {p + " and more word1", "word0 So " + p, QString(p).replace(p.size() / 2, 40, " typed "),
          QString(p).replace("word1 ", "word2 ")})
        EXPECT_EQ(steps(p, edited), steps(p, edited, referenceDiff));
}

// Two long texts that differ between their head and tail would need a
// table of 40 GB: their middles are said as replaced whole.
TEST(WordDiffTest, AMiddleTooLargeForTheTableIsReplacedWhole) {
    QStringList before{"Head"}, after{"Head"};
    for (int i = 0; i < 100000; ++i) before << QStringLiteral("a%1").arg(i), after << "b";
    const Ops ops = WordDiffText::diff(before << "tail", after << "tail");
    ASSERT_EQ(ops.size(), 200002u);
    EXPECT_EQ((std::vector{ops[0], ops[100000], ops[100001], ops.back()}),
              (Ops{{Kind::same, "Head"},
                   {Kind::removed, "a99999"},
                   {Kind::added, "b"},
                   {Kind::same, "tail"}}));
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
