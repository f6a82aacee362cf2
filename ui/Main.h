// The main window (Tmainform): path box and Create Index, word box and Search, the ranked result
// list with its sorting and opening, the two-panel status bar. Also what both windows share: the
// application object that shows errors escaping an event handler, message boxes, opening files,
// and the engine's assertion reports. UI thread only, unless a comment says otherwise.
#ifndef OLMAREST_UI_MAIN_H
#define OLMAREST_UI_MAIN_H

#include <QApplication>
#include <QByteArray>
#include <QMainWindow>
#include <QMessageBox>
#include <QTreeWidgetItem>
#include <QUrl>
#include <QTemporaryDir>
#include <memory>
#include <optional>
#include <string>
class EntryRuns;
#include <vector>

#include "idx/engine.h"

class QLabel;
class QMenu;
class LibraryPane;
class Tscanform;
namespace Ui {
class Tmainform;
}

// ---- Seams the tests replace ----

// Shows a modal message box with an OK button; owner null means none (a box of the system's).
using MessageHook = void (*)(QWidget *owner, const QString &text, const QString &title, QMessageBox::Icon icon);
extern MessageHook message_hook;
void show_message(QWidget *owner, const QString &text, const QString &title,
                  QMessageBox::Icon icon = QMessageBox::NoIcon);

// Asks the desktop to open a file URL with its default application; false when it could not.
using OpenHook = bool (*)(const QUrl &url);
extern OpenHook open_hook;

// Asks for a directory, starting at start; "" when the user cancels.
using ChooseDirHook = QString (*)(QWidget *owner, const QString &start);
extern ChooseDirHook choose_dir_hook;

// ---- Shared helpers ----

// The path box's text as the path to index, or nothing when it names no existing directory.
// The one place that decides what the path box accepts. A relative path is made absolute
// (idx.dat keeps the path and is loaded again from another working directory), and trailing
// separators are dropped.
std::optional<QByteArray> index_path(const QString &text);

// Copies text to the clipboard (the tests read it back from here).
using CopyHook = void (*)(const QString &text);
extern CopyHook copy_hook;

// Whether the window keeps its size and column widths between starts (QSettings). The program
// sets it; tests leave it off so that nothing of theirs is saved.
extern bool remember_layout;

// Why a result is not as the run saw it, for its tooltip and messages: "changed since it was
// indexed", "gone since it was indexed", or for an absent volume which disc to insert or where the
// folder or image was. Empty for a fresh one.
QString state_reason(ResultState state, const IndexVolume &volume);

// Widens a static text to its whole caption where the substituted font runs wider than the
// design's; its place and height stay.
void fit_text(QLabel *label);

// A file URL for a path of bytes, whatever their encoding (a Latin-1 name stays its bytes).
QUrl file_url(const QByteArray &path);

// The engine's report channel for the GUI (set_report_hook): the text goes to standard error and
// into a message box. Any thread: from the indexing thread the box is shown by the UI thread,
// and the caller waits until it has been closed.
void gui_report(const char *text);
// Shows the reports other threads are waiting on. UI thread; called by the event loop and by
// waits that hold the UI thread while the indexing thread still runs.
void show_pending_reports();

// The application object: an exception escaping an event handler is shown in a message box with
// its message (empty when it has none), and the event loop goes on.
class Application : public QApplication {
  public:
    Application(int &argc, char **argv);
    bool notify(QObject *receiver, QEvent *event) override;
};

// ---- The main window ----

class Tmainform : public QMainWindow {
    Q_OBJECT

  public:
    explicit Tmainform(QWidget *parent = nullptr);
    ~Tmainform() override;

    void setScanForm(Tscanform *scan); // the dialog that Create Index opens
    void setPathText(const QString &text); // the path box's text, before the window is shown

    // Status panel 1 says "Reading index...", then the index is loaded. 0 with "Search in: ..."
    // and Search enabled, or -1 leaving the rest to the caller (showNoIndex).
    int loadIndex();
    // "No index loaded", Search disabled, and the engine's reason as the panel's tooltip.
    void showNoIndex();
    QLabel *panel(int i) const; // status bar panel 0 or 1
    // The line under the list that says why there is no index, or why words found nothing;
    // hidden when there is nothing to say.
    QLabel *notice() const { return notice_; }
    LibraryPane *library() const { return library_; }

    // Event handlers.
    void FormShow();
    void idxbtnClick();
    void Edit1KeyPress(); // Enter in the path box
    void SpeedButton1Click();
    void BitBtn2Click();
    void Edit2KeyPress(); // Enter in the word box
    void ListView1DblClick();
    // Opens the file of a result row with the desktop's application, or says why it cannot.
    void openResult(QTreeWidgetItem *item);
    // The context menu of a result row: Open, Open Containing Folder, Copy Path.
    QMenu *resultMenu(QTreeWidgetItem *item);
    void ListView1ColumnClick(int column);
    // <0, 0 or >0 as row a sorts before, with or after row b.
    int ListView1Compare(const QTreeWidgetItem &a, const QTreeWidgetItem &b) const;

    void RunSearch();

    // Runs the scan dialog into a library entry (queued behind a run that is still shown).
    void runIntoEntry(const QByteArray &name, const QByteArray &path, bool adding);

  protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

  private:
    void placeControls(); // keeps the panel's controls on their edges as the window resizes
    void shareColumns();  // Filename and First Occurence share the list's width beyond Freq
    void showSortIndicator();

    void showNotice(const QString &text);
    // The library's share of the window: Search enabled and the status panel naming what a search
    // covers, once entries are checked.
    void showSearchScope();
    // Loads the single index again after the library's indexes were read (silently: it is the one
    // the window already shows).
    void takeIndexBack();
    // The search over the checked entries (and the single index, when one is loaded).
    void searchLibrary(const std::vector<std::string> &entries);
    void startNextEntryRun();
    int endEntryRun(); // loadIndex after a run into an entry: back to the single index
    // A private copy of a listed file that lies inside a disc image, made to be opened; "" when it
    // could not be made. The copies go with the window.
    QString copyFromImage(QTreeWidgetItem *item);

    Ui::Tmainform *ui;
    QLabel *panels[2];
    QLabel *notice_ = nullptr;
    Tscanform *scanform = nullptr;
    int sort_column = 0;     // -1 "Freq", 0 "Filename"
    int sort_direction = -1; // multiplies every comparison; flips at each sorting click
    bool shown = false;
    bool path_given = false; // the path box holds a path the user gave at start
    int index_generation = 0; // counts the indexes loaded: a row names its file within one of them
    std::unique_ptr<QTemporaryDir> image_copies; // copies of files opened from disc images
    int list_width = 0; // the list viewport's width when the columns were last shared
    struct Anchor {
        QWidget *w;
        QRect design;
        bool stretch; // true: both edges follow the window; false: the right edge only
    };
    std::vector<Anchor> anchors;

    LibraryPane *library_ = nullptr;
    bool index_loaded = false;  // the single index loaded at the last loadIndex
    bool index_taken = false;   // the engine holds another index than the single one
    std::string single_dir;     // the single index's directory while a run goes into an entry
    struct EntryRun {
        QByteArray name, path;
        bool adding;
        std::shared_ptr<EntryRuns> parts; // a tree too large for one index takes several runs
    };
    std::vector<EntryRun> entry_runs; // waiting for the dialog
    std::optional<EntryRun> entry_run; // the run the dialog shows
    QString single_status;      // status panel 1 for the single index alone
    QString single_notice;      // the line under the list for it
    bool volume_column = false;
    void setVolumeColumn(bool on);
    // Greys a row whose file is not as the run saw it, with the reason as its tooltip.
    void markRow(QTreeWidgetItem *item, ResultState state, const QString &reason);
    void setExcerpt(QTreeWidgetItem *item, const std::string &excerpt);
};

// The role of an excerpt cell's rich text (searched words in bold).
constexpr int EXCERPT_HTML = Qt::UserRole + 1;
// The list's column that names a row's volume, shown when more than one index is searched.
constexpr int VOLUME_COLUMN = 3;
// Roles of a row's Volume cell: its library entry's name (bytes; none for the single index), its
// ResultState, and the reason it is not as the run saw it.
constexpr int ENTRY_ROLE = Qt::UserRole;
constexpr int STATE_ROLE = Qt::UserRole + 1;
constexpr int REASON_ROLE = Qt::UserRole + 2;

// A row of the result list: sorts through the window's comparison.
class ResultItem : public QTreeWidgetItem {
  public:
    explicit ResultItem(const Tmainform *owner) : QTreeWidgetItem(UserType), form(owner) {}
    bool operator<(const QTreeWidgetItem &other) const override { return form->ListView1Compare(*this, other) < 0; }

  private:
    const Tmainform *form;
};

#endif
