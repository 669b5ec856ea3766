// The terminal line editor: libedit (BSD licensed), built when CMake finds it.
#include <histedit.h>

#include <clocale>
#include <cstdio>

#include "console/completion.h"
#include "console/line_source.h"
#include "console/session.h"
#include "platform/platform.h"

namespace discshell {
namespace {

class LineEditor final : public LineSource {
 public:
  explicit LineEditor(Session& session)
      : session_(session), editor_(initialize()), history_(::history_init()) {
    if (editor_ == nullptr || history_ == nullptr) return;
    ::history(history_, &event_, H_SETSIZE, 1000);
    ::el_set(editor_, EL_CLIENTDATA, this);
    ::el_set(editor_, EL_EDITOR, "emacs");
    // libedit's own signal handling passes a signal on to the whole process
    // group, which may hold other programs. Instead Ctrl-C and Ctrl-Z reach
    // the editor as keys while it reads a line, and the handlers of
    // installInterruptCleanup restore the terminal if a signal ends the run.
    platform::restoreTerminalOnSignals();
    ::el_set(editor_, EL_SETTY, "-d", "-isig", nullptr);
    ::el_set(editor_, EL_ADDFN, "discshell-interrupt", "drop the line", &LineEditor::interrupt);
    ::el_set(editor_, EL_BIND, "^C", "discshell-interrupt", nullptr);
    ::el_set(editor_, EL_ADDFN, "discshell-suspend", "suspend", &LineEditor::suspend);
    ::el_set(editor_, EL_BIND, "^Z", "discshell-suspend", nullptr);
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
    const char* line = nullptr;
    do {
      interrupted_ = false;
      line = ::el_gets(editor_, &count);
    } while (line != nullptr && interrupted_);
    if (line == nullptr || count <= 0) return std::nullopt;
    std::string text(line, static_cast<std::size_t>(count));
    if (!text.empty() && text.back() == '\n') text.pop_back();
    if (!text.empty()) ::history(history_, &event_, H_ENTER, text.c_str());
    // History keeps the line as typed; the names in it are read back.
    return typedText(text);
  }

 private:
  // The editor reads characters as the terminal sends them, which the
  // locale's character type says (UTF-8 in a UTF-8 terminal); in the "C"
  // locale every byte above 127 counts as not printable and is dropped.
  // Only LC_CTYPE is taken: numbers and messages stay as they are, and it
  // is set only here, once the options and VOLUME-OFFSET are read.
  static EditLine* initialize() {
    std::setlocale(LC_CTYPE, "");
    return ::el_init("discshell", stdin, stdout, stderr);
  }

  static char* prompt(EditLine*) {
    static char text[] = "?>";
    return text;
  }

  static LineEditor& self(EditLine* editor) {
    void* data = nullptr;
    ::el_get(editor, EL_CLIENTDATA, &data);
    return *static_cast<LineEditor*>(data);
  }

  // Ctrl-C, as shells do: the line typed so far is shown with "^C" and
  // dropped, and a fresh prompt follows on the next line.
  static unsigned char interrupt(EditLine* editor, int) {
    const LineInfo* line = ::el_line(editor);
    ::el_cursor(editor, static_cast<int>(line->lastchar - line->cursor));
    ::el_insertstr(editor, "^C");
    ::el_push(editor, "\n");
    self(editor).interrupted_ = true;
    return CC_REFRESH;
  }

  // Ctrl-Z: this process alone stops, with the terminal as it was before
  // the editor changed it, and the line is shown again when it goes on.
  static unsigned char suspend(EditLine* editor, int) {
    ::el_set(editor, EL_PREP_TERM, 0);
    platform::stopThisProcess();
    ::el_set(editor, EL_PREP_TERM, 1);
    return CC_REDISPLAY;
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
  bool interrupted_ = false;
};

}  // namespace

std::unique_ptr<LineSource> openLineEditor(Session& session) {
  auto editor = std::make_unique<LineEditor>(session);
  if (!editor->usable()) return nullptr;
  return editor;
}

}  // namespace discshell
