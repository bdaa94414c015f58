#pragma once
// A timeline text view on the offscreen platform, driven by a manual main
// executor, with every callback recorded.

#include <QApplication>
#include <QScrollBar>
#include <QTextDocument>
#include <memory>
#include <string>
#include <vector>

#include "support/ManualMainExecutor.hpp"
#include "verbolin/ui/GutterView.hpp"
#include "verbolin/ui/TimelineTestSupport.hpp"
#include "verbolin/ui/TimelineTextEdit.hpp"
#include "verbolin/ui/TimelineTextView.hpp"

namespace uitest {

struct TimelineHarness {
    platform::VirtualClock clock;
    platform::ManualMainExecutor main{clock};
    verbolin::TimelineTextView view{main};
    std::vector<std::string> calls;  // "edit:<text>", "select:<n>", "visible", "interaction", ...
    std::vector<std::pair<verbolin::Block, std::string>> edits;
    std::vector<platform::Uuid> selected;
    std::vector<platform::Uuid> askedToDelete;  // the selection told of at the last delete
    int scrolledToTop = 0, visibleReports = 0, deletes = 0;
    std::vector<platform::Uuid> copied;
    std::vector<std::string> refusals;  // what the status bar was told
    bool offerDelete = true;
    verbolin::TimelineInputs::Jump jump;

    explicit TimelineHarness(int width = 600, int height = 400) {
        view.resize(width, height);
        view.show();
        QApplication::processEvents();
    }

    verbolin::TimelineInputs inputs(std::shared_ptr<const std::vector<verbolin::Block>> blocks,
                                    double font = 20) {
        verbolin::TimelineInputs in;
        in.blocks = std::move(blocks);
        in.fontSize = font;
        in.label = [](const verbolin::Block& b) { return "t" + std::to_string(b.text().size()); };
        in.onEdit = [this](const verbolin::Block& b, const std::string&, const std::string& t,
                           std::optional<int>) {
            edits.push_back({b, t});
            calls.push_back("edit");
        };
        in.onScrolledToTop = [this] { ++scrolledToTop; };
        in.onSelection = [this](std::pair<int, int>, const std::vector<platform::Uuid>& ids) {
            selected = ids;
            calls.push_back("select");
        };
        in.onVisible = [this](auto, auto, bool) { ++visibleReports; };
        in.onUserInteraction = [this] { calls.push_back("interaction"); };
        if (offerDelete)
            in.onDeleteSelection = [this] {
                ++deletes;
                askedToDelete = selected;
            };
        in.onCopyBlock = [this](const platform::Uuid& id) { copied.push_back(id); };
        in.onRefused = [this](const std::string& why) { refusals.push_back(why); };
        in.jump = jump;
        return in;
    }

    void show(std::shared_ptr<const std::vector<verbolin::Block>> blocks, double font = 20) {
        view.setInputs(inputs(std::move(blocks), font));
        settle();
    }

    void settle() {
        for (int i = 0; i < 3; ++i) {
            QApplication::processEvents();
            main.runPending();
        }
    }

    verbolin::TimelineTextEdit& edit() { return *view.textEdit(); }
    QTextDocument& doc() { return *edit().document(); }
    int maxScroll() { return edit().verticalScrollBar()->maximum(); }
    void select(int anchor, int position) {
        QTextCursor c(&doc());
        // As a click there would, it places the caret even where the
        // document's already is: it moves first.
        if (const QTextCursor now = edit().textCursor();
            now.anchor() == anchor && now.position() == position) {
            c.setPosition(anchor > 0 ? anchor - 1 : std::min(1, doc().characterCount() - 1));
            edit().setTextCursor(c);
        }
        c.setPosition(anchor);
        c.setPosition(position, QTextCursor::KeepAnchor);
        edit().setTextCursor(c);
    }
};

}  // namespace uitest
