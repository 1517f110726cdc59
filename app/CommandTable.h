#pragma once
// A command table: command IDs (or a window message) mapped to handlers without arguments.
// Each window of the routing chain (view, frame, application) has one.
#include <functional>
#include <string>
#include <vector>

namespace gui {

enum class Entry {
    Command, // a command message (menu item, accelerator, service menu, sent by ID)
    Message, // a window message such as the end-of-run message; never offered as a command
};

// Whether a handler talks to the display: such commands are refused while a firmware update
// owns the link.
enum class DeviceUse { None, Link };

struct CommandRow {
    unsigned id = 0;
    std::function<void()> handler;
    DeviceUse device = DeviceUse::None;
    // The service menu's label for a command its own list does not name.
    std::string title;
    Entry kind = Entry::Command;
};

class CommandTable {
public:
    // A second row with the same ID and kind replaces the first.
    void Add(CommandRow row);
    void AddCommand(unsigned id, std::function<void()> handler, DeviceUse device = DeviceUse::None,
                    std::string title = {});
    void AddMessage(unsigned message, std::function<void()> handler);
    const CommandRow* Find(unsigned id, Entry kind = Entry::Command) const;
    // False when there was no such row.
    bool Remove(unsigned id, Entry kind = Entry::Command);
    // In the order they were added.
    const std::vector<CommandRow>& Rows() const { return rows_; }

private:
    std::vector<CommandRow> rows_;
};

} // namespace gui
