#pragma once
// Scripted runs for pictures and checks, off unless the environment asks:
//   KESTRUNE_SCREENSHOTS=<folder>   the program saves PNG pictures of its windows there: the
//                                   main window when ready ("main-ready"), during a firmware
//                                   update ("main-updating", at half way) and after it
//                                   ("main-finished"), and every dialog run modally
//                                   ("<object name>", e.g. "dialog100" for the about box);
//   KESTRUNE_SEND_COMMANDS=<id,...> after the start-up timer, these commands are sent in order
//                                   as the menu would send them; dialogs are closed again and
//                                   message boxes answered with their default button.
#include <QString>
#include <deque>

class QWidget;

namespace gui {

class ScriptedRun {
public:
    // Reads the environment; UI thread, once the application object exists.
    void Load();
    bool Active() const { return !folder_.isEmpty() || !commands_.empty(); }

    // Saves a picture of the widget as <name>.png when pictures are asked for.
    void Snap(QWidget& widget, const QString& name) const;
    // The moments of the main window.
    void OnReady(QWidget& frame);
    void OnProgress(QWidget& frame, int percent);
    void OnUpdateHandled(QWidget& frame);

private:
    void SendNext();

    QString folder_;
    std::deque<unsigned> commands_;
    bool updatingTaken_ = false;
};

} // namespace gui
