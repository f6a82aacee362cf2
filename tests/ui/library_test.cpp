// The library pane: entries listed with their state, the checked ones searched beside the single
// index, the Volume column, greyed rows of absent volumes and of changed or gone files, and the
// pane's add, rename and remove.
#include <QDockWidget>
#include <QSettings>
#include <QTest>
#include <QTimer>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "front/library.h"
#include "front/report.h"
#include "idx/engine.h"
#include "idx/idxdir.h"
#include "tests/ui/ui_test.h"
#include "ui/Library.h"

namespace fs = std::filesystem;

static bool confirm_answer = true;
static QStringList questions;

class LibraryPaneTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> home; // the library and the settings, outliving a window
    std::unique_ptr<UiFixture> f;

    LibraryPane *pane() const { return f->mainform->library(); }
    QTreeWidget *results() const { return f->find<QTreeWidget>("ListView1"); }
    QStringList entryNames() const {
        QStringList names;
        for (int i = 0; i < pane()->list()->topLevelItemCount(); i++) names << pane()->list()->topLevelItem(i)->text(0);
        return names;
    }
    QTreeWidgetItem *entryItem(const QString &name) const {
        QList<QTreeWidgetItem *> items = pane()->list()->findItems(name, Qt::MatchExactly, 0);
        return items.isEmpty() ? nullptr : items.first();
    }
    // An entry indexed by the engine itself, as olmarest-cli add makes it.
    void makeEntry(const std::string &name, const std::string &rel) {
        std::string why;
        QVERIFY2(make_entry(name, &why) == 0, why.c_str());
        KeepIdxDir keep;
        set_idx_dir(entry_dir(name).c_str());
        std::string path = f->path(rel); // the run reads it until it ends
        QVERIFY(create_idx(path.c_str()) != -1);
        QVERIFY2(wait_run_end(2, [] {}) == IDX_DONE, idx_reason());
    }
    QStringList rowsOf(const QString &words) {
        f->search(words);
        QStringList rows;
        for (int i = 0; i < results()->topLevelItemCount(); i++) {
            QTreeWidgetItem *item = results()->topLevelItem(i);
            rows << (results()->isColumnHidden(VOLUME_COLUMN) ? "" : item->text(VOLUME_COLUMN) + " ") +
                        QString::fromStdString(fs::path(item->text(1).toStdString()).filename().string());
        }
        return rows;
    }
    bool greyed(QTreeWidgetItem *item) const {
        return item->foreground(1).color() == QApplication::palette().color(QPalette::Disabled, QPalette::Text);
    }
    // Presses a pane button and waits for the run it starts; closes the dialog afterwards.
    bool runEnded() const {
        return QTest::qWaitFor(
            [&] { return f->scanform->isVisible() && f->find<QPushButton>("stop")->text() == QStringLiteral("&Close"); },
            20000);
    }
    bool runFromPane(const char *button) {
        f->find<QPushButton>(button)->click();
        if (!runEnded()) return false;
        f->closeRun();
        return QTest::qWaitFor([&] { return !f->scanform->isVisible(); });
    }

  private slots:
    void init() {
        f.reset();
        // Each test its own library and settings.
        home = std::make_unique<QTemporaryDir>();
        qputenv("XDG_DATA_HOME", QFile::encodeName(home->filePath(QStringLiteral("data"))));
        for (QSettings::Format format : {QSettings::NativeFormat, QSettings::IniFormat})
            QSettings::setPath(format, QSettings::UserScope, home->filePath(QStringLiteral("config")));
        f = std::make_unique<UiFixture>();
        confirm_answer = true;
        questions.clear();
        confirm_hook = [](QWidget *, const QString &text, const QString &) {
            questions << text;
            return confirm_answer;
        };
        choose_dir_hook = [](QWidget *, const QString &) { return QString(); };
    }
    void cleanup() {
        QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join(QLatin1Char('\n'))));
        f.reset();
        home.reset();
    }

    void listsEntriesAndShowsOnlyWhenThereAreAny() {
        // An empty library leaves the window as it always was.
        QVERIFY(!pane()->isVisible());
        QCOMPARE(f->mainform->size(), QSize(611, 485));
        f->write("shelf/alpha/a.txt", "harbour lights\n");
        f->write("shelf/beta/b.txt", "harbour lantern\n");
        f->write("shelf/beta/c.txt", "a lantern light\n");
        makeEntry("alpha", "shelf/alpha");
        makeEntry("beta", "shelf/beta");
        pane()->reload();
        QCOMPARE(entryNames(), (QStringList{"alpha", "beta"}));
        QTreeWidgetItem *beta = entryItem("beta");
        QStringList cells;
        for (int c = 1; c < 5; c++) cells << (c == 3 ? QString::number(beta->text(c).size()) : beta->text(c));
        QCOMPARE(cells, (QStringList{"folder", "2", "16", "present"})); // date as yyyy-MM-dd hh:mm
        QCOMPARE(beta->checkState(0), Qt::Checked);

        // A window started with entries shows the pane; the toggle (F9) hides and shows it.
        Tmainform other;
        other.show();
        QVERIFY(QTest::qWaitForWindowExposed(&other));
        QVERIFY(other.library()->isVisible());
        QTest::keyClick(&other, Qt::Key_F9);
        QVERIFY(!other.library()->isVisible());
    }

    void checkedEntriesAreSearchedWithAVolumeColumn() {
        f->write("single/s.txt", "the harbour wall\n");
        f->write("shelf/alpha/a.txt", "harbour harbour harbour\n");
        f->write("shelf/beta/b.txt", "harbour harbour\n");
        QVERIFY(f->index(f->qpath("single")));
        QCOMPARE(rowsOf("harbour"), QStringList{"s.txt"}); // no library: the list as it always was
        QVERIFY(results()->isColumnHidden(VOLUME_COLUMN));

        makeEntry("alpha", "shelf/alpha");
        makeEntry("beta", "shelf/beta");
        pane()->reload();
        QCOMPARE(f->status(1), QStringLiteral("Search in: %1 (1 files) and 2 library entries").arg(f->qpath("single")));
        // Merged by rank: the single index and both entries, each row naming its volume.
        QCOMPARE(rowsOf("harbour"), (QStringList{"alpha a.txt", "beta b.txt", "single s.txt"}));
        QCOMPARE(f->status(0), QStringLiteral("3 matches found !"));
        QVERIFY(results()->topLevelItem(0)->text(2).startsWith(QStringLiteral("harbour harbour")));

        entryItem("beta")->setCheckState(0, Qt::Unchecked);
        QCOMPARE(rowsOf("harbour"), (QStringList{"alpha a.txt", "single s.txt"}));
        entryItem("alpha")->setCheckState(0, Qt::Unchecked);
        QCOMPARE(rowsOf("harbour"), QStringList{"s.txt"}); // the single index alone, as before
        QVERIFY(results()->isColumnHidden(VOLUME_COLUMN));
        QCOMPARE(f->status(1), QStringLiteral("Search in: %1 (1 files)").arg(f->qpath("single")));

        // The checks outlive the window; one entry alone beside no single index has no column.
        entryItem("beta")->setCheckState(0, Qt::Checked);
        f.reset();
        f = std::make_unique<UiFixture>();
        QCOMPARE(pane()->list()->topLevelItem(0)->checkState(0), Qt::Unchecked);
        QCOMPARE(pane()->list()->topLevelItem(1)->checkState(0), Qt::Checked);
        QVERIFY(f->find<QPushButton>("BitBtn2")->isEnabled()); // no single index here, but an entry
        QCOMPARE(f->status(1), QStringLiteral("Search in: 1 library entry"));
        QCOMPARE(rowsOf("harbour"), QStringList{"b.txt"});
        QVERIFY(results()->isColumnHidden(VOLUME_COLUMN));
    }

    void rowsNotAsIndexedAreGreyedWithTheirReason() {
        f->write("shelf/alpha/a.txt", "the harbour wall\n");
        f->write("shelf/beta/b.txt", "harbour lights\n");
        f->write("shelf/beta/c.txt", "the harbour wall\n");
        f->write("shelf/beta/d.txt", "the harbour wall\n");
        makeEntry("alpha", "shelf/alpha");
        makeEntry("beta", "shelf/beta");
        fs::rename(f->path("shelf/alpha"), f->path("moved-away"));
        f->write("shelf/beta/b.txt", "harbour lights, and a longer text now\n");
        fs::remove(f->path("shelf/beta/c.txt"));
        pane()->reload();
        QCOMPARE(entryItem("alpha")->text(4), QStringLiteral("absent"));
        QCOMPARE(entryItem("beta")->text(4), QStringLiteral("present"));

        QCOMPARE(rowsOf("harbour"), (QStringList{"alpha a.txt", "beta b.txt", "beta c.txt", "beta d.txt"}));
        QStringList tips;
        for (int i = 0; i < 4; i++) {
            QTreeWidgetItem *item = results()->topLevelItem(i);
            tips << QString::number(greyed(item)) + " " + item->toolTip(2);
        }
        QString was = QStringLiteral("the folder was at %1").arg(f->qpath("shelf/alpha"));
        QCOMPARE(tips, (QStringList{"1 " + was, "1 changed since it was indexed", "1 gone since it was indexed", "0 "}));
        QCOMPARE(results()->topLevelItem(0)->text(2), was); // no excerpt: the reason instead

        // A double click on the absent row says where the volume was, and opens nothing.
        messages.clear();
        results()->setCurrentItem(results()->topLevelItem(0));
        f->mainform->ListView1DblClick();
        QCOMPARE(messages.size(), 1);
        QVERIFY2(messages[0].text.contains(was), qPrintable(messages[0].text));
        QVERIFY(opened.isEmpty());
        // Refresh cannot read an absent volume: it says so instead of running.
        messages.clear();
        pane()->list()->setCurrentItem(entryItem("alpha"));
        QTest::keyClick(f->mainform, Qt::Key_F5);
        QCOMPARE(messages.size(), 1);
        QVERIFY2(messages[0].text.contains(was), qPrintable(messages[0].text));
        QVERIFY(!f->scanform->isVisible());
    }

    void changedAndAbsentRowsOfTheSingleIndexAreGreyed() {
        f->write("tree/a.txt", "the harbour wall\n");
        f->write("tree/b.txt", "the harbour wall\n");
        QVERIFY(f->index(f->qpath("tree")));
        f->write("tree/a.txt", "harbour, rewritten at another length\n");
        QCOMPARE(rowsOf("harbour"), (QStringList{"a.txt", "b.txt"}));
        QVERIFY(greyed(results()->topLevelItem(0)));
        QCOMPARE(results()->topLevelItem(0)->toolTip(2), QStringLiteral("changed since it was indexed"));
        QVERIFY(!greyed(results()->topLevelItem(1)));
        QCOMPARE(results()->topLevelItem(1)->toolTip(2), QString());

        // The tree moved away: its rows still list, greyed, and a double click says where it was.
        fs::rename(f->path("tree"), f->path("elsewhere"));
        QCOMPARE(f->mainform->loadIndex(), 0);
        QCOMPARE(rowsOf("harbour"), (QStringList{"a.txt", "b.txt"}));
        QString was = QStringLiteral("the folder was at %1").arg(f->qpath("tree"));
        QVERIFY(greyed(results()->topLevelItem(1)));
        QCOMPARE(results()->topLevelItem(1)->text(2), was);
        messages.clear();
        results()->setCurrentItem(results()->topLevelItem(1));
        f->mainform->ListView1DblClick();
        QCOMPARE(messages.size(), 1);
        QVERIFY2(messages[0].text.contains(was), qPrintable(messages[0].text));
        QVERIFY(opened.isEmpty());
    }

    // An image entry beside another: a row of it opens from a copy read out of the image, and once
    // the image has moved away its rows say where it was.
    void anImageEntryOpensItsFilesAndSaysWhereItWas() {
        f->write("src/docs/log.txt", "harbour lights at night\n");
        f->write("shelf/alpha/a.txt", "the harbour wall\n");
        std::string cmd = "xorriso -as mkisofs -quiet -J -R -V SHELFDISC -o '" + f->path("disc.iso") + "' '" +
                          f->path("src") + "' >/dev/null 2>&1";
        if (std::system(cmd.c_str()) != 0) QSKIP("xorriso is needed to make the image");
        makeEntry("alpha", "shelf/alpha");
        static QString chosen;
        chosen = f->qpath("disc.iso");
        choose_image_hook = [](QWidget *, const QString &) { return chosen; };
        pane()->reload();
        QVERIFY(runFromPane("LibraryAddImage"));
        QCOMPARE(entryNames(), (QStringList{"SHELFDISC", "alpha"}));
        QCOMPARE(entryItem("SHELFDISC")->text(1), QStringLiteral("image"));

        QCOMPARE(rowsOf("harbour lights"), (QStringList{"SHELFDISC log.txt", "alpha a.txt"}));
        results()->setCurrentItem(results()->topLevelItem(0));
        f->mainform->ListView1DblClick();
        QVERIFY2(messages.isEmpty(), messages.isEmpty() ? "" : qPrintable(messages[0].text));
        QCOMPARE(opened.size(), 1);
        QFile in(opened[0].toLocalFile());
        QVERIFY(in.open(QIODevice::ReadOnly));
        QCOMPARE(in.readAll(), QByteArray("harbour lights at night\n"));

        fs::rename(f->path("disc.iso"), f->path("elsewhere.iso"));
        pane()->reload();
        QCOMPARE(entryItem("SHELFDISC")->text(4), QStringLiteral("absent"));
        QCOMPARE(rowsOf("harbour lights"), (QStringList{"SHELFDISC log.txt", "alpha a.txt"}));
        QCOMPARE(results()->topLevelItem(0)->toolTip(2), QStringLiteral("the image was at %1").arg(chosen));
        QVERIFY(greyed(results()->topLevelItem(0)));

        // Locate: a file that is no image is refused; the moved image brings the entry back.
        pane()->list()->setCurrentItem(entryItem("SHELFDISC"));
        QVERIFY(f->find<QPushButton>("LibraryLocate")->isEnabled());
        for (const char *pick : {"src/docs/log.txt", "elsewhere.iso"}) {
            chosen = f->qpath(pick);
            messages.clear();
            f->find<QPushButton>("LibraryLocate")->click();
            QCOMPARE(messages.size(), pick[0] == 's' ? 1 : 0);
        }
        QCOMPARE(entryItem("SHELFDISC")->text(4), QStringLiteral("present"));
        QCOMPARE(rowsOf("harbour lights"), (QStringList{"SHELFDISC log.txt", "alpha a.txt"}));
        QVERIFY(!greyed(results()->topLevelItem(0)));
        QVERIFY(results()->topLevelItem(0)->text(2).startsWith(QStringLiteral("harbour lights")));
    }

    void addRefreshRenameAndRemove() {
        f->write("single/s.txt", "a lantern light\n");
        f->write("shelf/Disc One/a.txt", "the harbour wall\n");
        QVERIFY(f->index(f->qpath("single")));
        QString single = f->status(1);
        static QString chosen;
        chosen = f->qpath("shelf/Disc One");
        choose_dir_hook = [](QWidget *, const QString &) { return chosen; };
        pane()->show();

        // Add: the scan dialog runs into a new entry named after the folder; the single index stays.
        QVERIFY(runFromPane("LibraryAdd"));
        QCOMPARE(entryNames(), QStringList{"Disc One"});
        QVERIFY(fs::exists(entry_dir("Disc One") + "/idx.dat"));
        QCOMPARE(f->status(1), single + " and 1 library entry");
        QCOMPARE(rowsOf("harbour lantern"), (QStringList{"single s.txt", "Disc One a.txt"}));
        // The same folder again is refused, naming the entry.
        messages.clear();
        f->find<QPushButton>("LibraryAdd")->click();
        QCOMPARE(messages.size(), 1);
        QVERIFY(messages[0].text.contains(QStringLiteral("'Disc One'")));
        QVERIFY(!f->scanform->isVisible());

        // Refresh (F5) reads the folder again into the same entry.
        f->write("shelf/Disc One/b.txt", "the harbour wall\n");
        pane()->list()->setCurrentItem(entryItem("Disc One"));
        f->mainform->activateWindow(); // as the window manager does when the dialog has gone
        QVERIFY(QTest::qWaitForWindowActive(f->mainform));
        QTest::keyClick(f->mainform, Qt::Key_F5);
        QVERIFY(runEnded());
        f->closeRun();
        QCOMPARE(entryItem("Disc One")->text(2), QStringLiteral("2"));

        // Rename in place: a taken or impossible name is refused and the old one stays.
        f->write("shelf/two/t.txt", "the harbour wall\n");
        makeEntry("two", "shelf/two");
        pane()->reload();
        // With nothing selected F5 refreshes every entry, one run after the other.
        f->write("shelf/two/u.txt", "the harbour wall\n");
        pane()->list()->clearSelection();
        f->mainform->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(f->mainform));
        QTest::keyClick(f->mainform, Qt::Key_F5);
        for (int run = 0; run < 2; run++) {
            QVERIFY(runEnded());
            f->closeRun();
            QVERIFY(QTest::qWaitFor([&] { return !f->scanform->isVisible(); }));
            QTest::qWait(20); // the next run starts once the dialog's close has been handled
        }
        QVERIFY(!f->scanform->isVisible());
        QCOMPARE(entryItem("two")->text(2), QStringLiteral("2"));
        entryItem("Disc One")->setCheckState(0, Qt::Unchecked);
        for (const char *bad : {"two", "a/b", ""}) {
            messages.clear();
            entryItem("Disc One")->setText(0, QLatin1String(bad));
            QCOMPARE(messages.size(), 1);
            QCOMPARE(entryNames(), (QStringList{"Disc One", "two"}));
        }
        entryItem("Disc One")->setText(0, QStringLiteral("Shelf 1"));
        QVERIFY(fs::exists(entry_dir("Shelf 1") + "/idx.dat"));
        QVERIFY(!fs::exists(entry_dir("Disc One")));
        pane()->reload();
        QCOMPARE(entryNames(), (QStringList{"Shelf 1", "two"}));
        QCOMPARE(entryItem("Shelf 1")->checkState(0), Qt::Unchecked); // the check follows the name

        // Remove asks first; No keeps the entry.
        pane()->list()->setCurrentItem(entryItem("two"));
        confirm_answer = false;
        f->find<QPushButton>("LibraryRemove")->click();
        QCOMPARE(questions.size(), 1);
        QVERIFY(questions[0].contains(QStringLiteral("'two'")));
        QVERIFY(fs::exists(entry_dir("two")));
        confirm_answer = true;
        f->find<QPushButton>("LibraryRemove")->click();
        QVERIFY(!fs::exists(entry_dir("two")));
        QCOMPARE(entryNames(), QStringList{"Shelf 1"});
        // Nothing checked any more: the single index alone again.
        QCOMPARE(f->status(1), single);
        QCOMPARE(rowsOf("harbour lantern"), QStringList{"s.txt"});
    }
};

QObject *make_library_test() { return new LibraryPaneTest; }

#include "library_test.moc"
