// Shared pieces of the desktop program's tests: recorders that stand in for message boxes and the
// desktop's "open", a fixture with a fresh working directory (idx.dat lands there) and both
// windows, and a read back end that can hold a run open for as long as a test needs.
#ifndef OLMAREST_TESTS_UI_UI_TEST_H
#define OLMAREST_TESTS_UI_UI_TEST_H

#include <QLabel>
#include <QLineEdit>
#include <QList>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QUrl>
#include <atomic>
#include <string>

#include "ui/Main.h"
#include "ui/Running.h"

struct Message {
    bool owned; // false: a box of the system's, without an owner
    QString text;
    QString title;
};
extern QList<Message> messages; // every box "shown" since the fixture began
extern QList<QUrl> opened;      // every file handed to the desktop
extern bool open_succeeds;      // what the desktop answers to an open
extern QStringList copied;      // every text put on the clipboard
extern QStringList warnings;    // Qt's warnings since the fixture began
void install_recorders();

// Holds the indexing thread in its wait for reads while `hold_reads` is set (until an abort),
// reading synchronously otherwise.
extern std::atomic<bool> hold_reads;
void use_holding_reads();

class UiFixture {
  public:
    UiFixture();
    ~UiFixture();

    // Writes data to root()/rel, creating parent directories.
    void write(const std::string &rel, const std::string &data);
    void mkdir(const std::string &rel);
    std::string path(const std::string &rel) const { return root + "/" + rel; }
    QString qpath(const std::string &rel) const { return QString::fromStdString(path(rel)); }

    template <class T> T *find(const char *name) const {
        T *w = mainform->findChild<T *>(QLatin1String(name));
        return w ? w : scanform->findChild<T *>(QLatin1String(name));
    }
    QStringList log() const; // the scan dialog's log, line by line
    QString status(int panel) const { return mainform->panel(panel)->text(); }

    // Enter in the path box with text; true when a run started and has ended (button "&Close").
    bool startRun(const QString &text);
    // Closes the dialog with its button and waits for the timer to stop.
    void closeRun();
    // A whole run over dir, closed afterwards.
    bool index(const QString &dir);
    void search(const QString &words); // Enter in the word box
    QStringList column(int c) const;   // the list's texts of column c, top to bottom

    Tmainform *mainform;
    Tscanform *scanform;

  private:
    std::string root;
    std::string old_cwd;
};

#endif
