// The terminal line editor: libedit (BSD licensed), built when CMake finds it.
#include <histedit.h>

#include <cstdio>

#include "console/completion.h"
#include "console/line_source.h"
#include "console/session.h"

namespace discshell {
namespace {

class LineEditor final : public LineSource {
 public:
  explicit LineEditor(Session& session)
      : session_(session),
        editor_(::el_init("discshell", stdin, stdout, stderr)),
        history_(::history_init()) {
    if (editor_ == nullptr || history_ == nullptr) return;
    ::history(history_, &event_, H_SETSIZE, 1000);
    ::el_set(editor_, EL_CLIENTDATA, this);
    ::el_set(editor_, EL_EDITOR, "emacs");
    ::el_set(editor_, EL_SIGNAL, 1);  // the terminal is restored if a signal ends the run
    ::el_set(editor_, EL_PROMPT, &LineEditor::prompt);
    ::el_set(editor_, EL_HIST, &::history, history_);
    ::el_set(editor_, EL_ADDFN, "discshell-complete", "complete a name", &LineEditor::complete);
    ::el_set(editor_, EL_BIND, "^I", "discshell-complete", nullptr);
  }
  ~LineEditor() override {
    if (editor_ != nullptr) ::el_end(editor_);
    if (history_ != nullptr) ::history_end(history_);
  }
  LineEditor(const LineEditor&) = delete;
  LineEditor& operator=(const LineEditor&) = delete;

  [[nodiscard]] bool usable() const { return editor_ != nullptr && history_ != nullptr; }

  std::optional<std::string> next() override {
    int count = 0;
    const char* line = ::el_gets(editor_, &count);
    if (line == nullptr || count <= 0) return std::nullopt;
    std::string text(line, static_cast<std::size_t>(count));
    if (!text.empty() && text.back() == '\n') text.pop_back();
    if (!text.empty()) ::history(history_, &event_, H_ENTER, text.c_str());
    return text;
  }

 private:
  static char* prompt(EditLine*) {
    static char text[] = "?>";
    return text;
  }

  static unsigned char complete(EditLine* editor, int) {
    void* data = nullptr;
    ::el_get(editor, EL_CLIENTDATA, &data);
    Session& session = static_cast<LineEditor*>(data)->session_;
    const LineInfo* line = ::el_line(editor);
    const Completion completion = completeLine(
        session,
        std::string_view(line->buffer, static_cast<std::size_t>(line->cursor - line->buffer)));
    if (!completion.insert.empty()) {
      return ::el_insertstr(editor, completion.insert.c_str()) == 0 ? CC_REFRESH : CC_ERROR;
    }
    if (completion.choices.empty()) return CC_ERROR;
    session.out << '\n';
    for (const std::string& choice : completion.choices) {
      session.out << displayText(choice, true) << "  ";
    }
    session.out << '\n' << std::flush;
    return CC_REDISPLAY;
  }

  Session& session_;
  EditLine* editor_;
  History* history_;
  HistEvent event_{};
};

}  // namespace

std::unique_ptr<LineSource> openLineEditor(Session& session) {
  auto editor = std::make_unique<LineEditor>(session);
  if (!editor->usable()) return nullptr;
  return editor;
}

}  // namespace discshell
