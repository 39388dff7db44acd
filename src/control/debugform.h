#pragma once

// TFormDebug: the control program's log window. One list that the main form fills with
// the English log lines of the program and clears at the start of each synchronisation.
// Created hidden at start, shown from the tray menu; closing it only hides it. Every line
// also goes to standard error, so the log of a program that runs without its window shown
// (a session's journal, a terminal, a test) is not lost when the list is cleared.
//
// Owns its list widget (Qt parent). Threads: main (GUI) thread only: log lines from other
// threads reach it through the message protocol, which delivers on the main thread.

#include <QWidget>
#include <string>
#include <vector>

class QListWidget;

class TFormDebug : public QWidget {
public:
    static constexpr const char* kCaption = "TolvarCtrl - Debug-Fenster";
    static constexpr int kWidth = 604;
    static constexpr int kHeight = 427;
    static constexpr int kLineHeight = 13;

    explicit TFormDebug(QWidget* parent = nullptr);
    ~TFormDebug() override;
    TFormDebug(const TFormDebug&) = delete;
    TFormDebug& operator=(const TFormDebug&) = delete;

    QListWidget* ListBox1 = nullptr;

    // One log line appended at the end of the list.
    void AddLine(const std::string& line);
    void Clear();
    // The lines as shown.
    std::vector<std::string> Lines() const;
};
