// The editor's commands: one entry per command id with its handler and the rule that enables its
// toolbar button. Menus show every command and are never greyed (each handler checks its own
// conditions); only toolbar buttons follow the rules, which the idle refresh applies.
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
    std::function<bool()> isEnabled;  // toolbar rule; none means always enabled
    std::function<bool()> isVisible;  // toolbar visibility (Play and Pause trade places); none means always
};

class CommandTable {
public:
    Command& Add(int id, std::function<void()> handler);
    Command* Find(int id);
    const std::deque<Command>& All() const { return commands_; }
    // Runs the command's handler as a menu choice, a toolbar click or a panel button would.
    // Unknown ids do nothing. Returns whether the id was known.
    bool Run(int id);
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
