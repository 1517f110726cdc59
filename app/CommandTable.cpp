#include "app/CommandTable.h"

#include <algorithm>

namespace gui {

void CommandTable::Add(CommandRow row)
{
    auto same = [&](const CommandRow& r) { return r.id == row.id && r.kind == row.kind; };
    auto it = std::find_if(rows_.begin(), rows_.end(), same);
    if (it != rows_.end())
        *it = std::move(row);
    else
        rows_.push_back(std::move(row));
}

void CommandTable::AddCommand(unsigned id, std::function<void()> handler, DeviceUse device,
                              std::string title)
{
    Add(CommandRow{id, std::move(handler), device, std::move(title), Entry::Command});
}

void CommandTable::AddMessage(unsigned message, std::function<void()> handler)
{
    Add(CommandRow{message, std::move(handler), DeviceUse::None, {}, Entry::Message});
}

const CommandRow* CommandTable::Find(unsigned id, Entry kind) const
{
    auto it = std::find_if(rows_.begin(), rows_.end(),
                           [&](const CommandRow& r) { return r.id == id && r.kind == kind; });
    return it != rows_.end() ? &*it : nullptr;
}

bool CommandTable::Remove(unsigned id, Entry kind)
{
    auto it = std::find_if(rows_.begin(), rows_.end(),
                           [&](const CommandRow& r) { return r.id == id && r.kind == kind; });
    if (it == rows_.end())
        return false;
    rows_.erase(it);
    return true;
}

} // namespace gui
