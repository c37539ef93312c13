// The editor's commands: one entry per command id with its handler and the one rule that says whether
// it can run now. The same rule greys its toolbar button or edit-panel button (the idle refresh applies
// it) and gates its handler however it is reached (menu, shortcut, a click queued while the window was
// busy), so the two can never disagree. Menus show every command and are never greyed.
#pragma once

#include <QString>

#include <functional>
#include <deque>

class QAction;

namespace brindle {

struct Command {
    int id = 0;
    QAction* menuAction = nullptr;  // in the menu bar; null for commands only a button sends
    QAction* toolAction = nullptr;  // on the toolbar; null for menu-only commands
    std::function<void()> handler;
    std::function<bool()> canRun;     // none means always
    std::function<bool()> isVisible;  // toolbar visibility (Play and Pause trade places); none means always
};

class CommandTable {
public:
    Command& Add(int id, std::function<void()> handler);
    Command* Find(int id);
    const std::deque<Command>& All() const { return commands_; }
    // Runs the command's handler as a menu choice, a toolbar click or a panel button would, when its
    // rule allows it now. Unknown ids do nothing. Returns whether the id was known.
    bool Run(int id);
    // The command's rule as of now; false for an unknown id.
    bool CanRun(int id);
    // Applies every toolbar rule; cheap when nothing changed (actions only signal real changes).
    void Refresh();

private:
    std::deque<Command> commands_;
};

// The status prompt and the tooltip of a command (the text before and after "\n" of its string);
// empty when it has none.
QString CommandPrompt(int id);
QString CommandTooltip(int id);

}  // namespace brindle
