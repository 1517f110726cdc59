#pragma once
// Texts between the core (std::string, as the stations store them) and Qt.
#include <QString>
#include <string>

namespace gui {

// UTF-8 when the bytes are valid UTF-8, else the single-byte code page the Windows stations
// write (settings files and converter strings may come from them).
QString ToQt(const std::string& text);
// For a text control: CR LF and lone CR become LF, as an edit control shows them.
QString ToQtLines(const std::string& text);
std::string FromQt(const QString& text);
// A menu or label text without its mnemonic marker ("E&xit" -> "Exit", "&&" -> "&").
QString StripMnemonic(const QString& text);
// The first line of a prompt string ("Quit the application\nExit" -> "Quit the application").
std::string PromptLine(const std::string& prompt);

} // namespace gui
