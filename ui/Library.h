// The library pane: a dock below the result list listing the library's entries (each with
// a check box that includes it in searches, its kind, files, date and whether its volume is
// present) and the buttons that add, refresh, rename and remove them. The runs themselves go
// through the main window's scan dialog. Hidden at start while the library is empty, so that the
// window of the single index stays as it always was. UI thread only.
#ifndef OLMAREST_UI_LIBRARY_H
#define OLMAREST_UI_LIBRARY_H

#include <QByteArray>
#include <QDockWidget>
#include <string>
#include <vector>

class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

// Puts the engine's index directory back at the end of a scope that reads library entries.
class KeepIdxDir {
  public:
    KeepIdxDir();
    ~KeepIdxDir();
    KeepIdxDir(const KeepIdxDir &) = delete;
    KeepIdxDir &operator=(const KeepIdxDir &) = delete;

  private:
    std::string dir;
};

// Asks a yes/no question (Remove's confirmation); the tests replace it.
using ConfirmHook = bool (*)(QWidget *owner, const QString &text, const QString &title);
extern ConfirmHook confirm_hook;
// Asks for a disc image file, starting at start; "" when the user cancels.
using ChooseImageHook = QString (*)(QWidget *owner, const QString &start);
extern ChooseImageHook choose_image_hook;

class LibraryPane : public QDockWidget {
    Q_OBJECT

  public:
    explicit LibraryPane(QWidget *parent);

    // Lists the library's entries again. Each entry's index is read to describe it, so the
    // engine's loaded index changes: entriesRead() follows, for the window to take its own index
    // back, then entriesChanged().
    void reload();
    // The entries checked for searching, in the list's order (bytewise by name).
    std::vector<std::string> checkedEntries() const;
    int entryCount() const;
    QTreeWidget *list() const { return list_; }

    // The buttons' handlers.
    void addClick();      // a folder chooser, then a run into a new entry
    void addImageClick(); // the same for a disc image file
    void refreshClick(); // the selected entry, or every entry when none is selected (F5)
    void renameClick();  // edits the selected entry's name in place
    void locateClick();  // tells an absent folder or image entry where its volume is now
    void removeClick();  // after a confirmation

  signals:
    // An entry is to be indexed from path: the window runs the scan dialog into it. adding: a new
    // entry, removed again when the run leaves no index.
    void runRequested(const QByteArray &name, const QByteArray &path, bool adding);
    // The entries a search covers changed (checked, unchecked, renamed, removed).
    void entriesChanged();
    void entriesRead();

  private:
    void addPath(const QString &chosen);
    void itemChanged(QTreeWidgetItem *item, int column);
    void saveChecked();
    QTreeWidgetItem *selectedItem() const;

    QTreeWidget *list_;
    QPushButton *add_, *add_image_, *refresh_, *rename_, *locate_, *remove_;
    void enableButtons();
    bool listed_once = false;
    bool filling = false; // the list is being filled: its item changes are not the user's
};

#endif
