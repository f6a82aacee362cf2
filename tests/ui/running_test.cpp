// The scan dialog: a run watched to its end, failed and refused runs with their reasons, the abort
// on closing, the reload afterwards.
#include <QProgressBar>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <thread>

#include "idx/index.h"
#include "idx/idxdir.h"
#include "idx/read/cdfs.h"
#include "idx/read/files.h"
#include "idx/read/pipeline.h"
#include "tests/ui/ui_test.h"

class ScanDialogTest : public QObject {
    Q_OBJECT

    std::unique_ptr<UiFixture> f;

    QString label(const char *name) const { return f->find<QLabel>(name)->text(); }
    int gauge() const { return f->find<QProgressBar>("CGauge1")->value(); }
    QTimer *timer() const { return f->scanform->findChild<QTimer *>(QStringLiteral("Timer1")); }
    static QString mb(uint64_t bytes) { return QString::asprintf("%.2f MB", static_cast<double>(bytes) / 1048576.0); }
    // Starts a run whose reads wait until released (or aborted); true once the first tick saw it.
    bool startHeldRun() {
        f->write("tree/a.txt", std::string(1 << 20, 'x') + " harbour"); // more than one pass of reads
        use_holding_reads();
        hold_reads = true;
        f->find<QLineEdit>("Edit1")->setText(f->qpath("tree"));
        f->mainform->idxbtnClick();
        return QTest::qWaitFor([&] { return label("Label4") != QStringLiteral("Label4"); }, 20000);
    }

  private slots:
    void init() {
        f.reset(); // the old fixture gives the working directory back first
        f = std::make_unique<UiFixture>();
    }
    void cleanup() {
        QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join(QLatin1Char('\n'))));
        f.reset();
    }

    void runEndingBeforeTheFirstTickIsReportedInFull() {
        f->write("tree/docs/a.txt", "The harbour lights shine over the quiet harbour tonight.");
        f->write("tree/docs/b.txt", std::string(70000, ' ') + "lantern");
        f->write("tree/c.bin", std::string("\x7F" "ELF\x02\x01", 6) + std::string(100, '\0'));
        f->find<QLineEdit>("Edit1")->setText(f->qpath("tree"));
        f->mainform->idxbtnClick();
        // No events: the run ends long before the timer's first tick can run.
        while (status_idx() == 1) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        QTRY_COMPARE(f->find<QPushButton>("stop")->text(), QStringLiteral("&Close"));
        QVERIFY(!timer()->isActive());

        QStringList log = f->log();
        QCOMPARE(log.size(), 9);
        QCOMPARE(log.mid(0, 4), (QStringList{"Scanning ...", "Index complete ! :-)",
                                             "----------------------------------------------", "Statistics:"}));
        QCOMPARE(log[4], QStringLiteral("  Time for Scan: 0:00"));
        QCOMPARE(log[5], QStringLiteral("  total files: 3 "));
        QVERIFY2(QRegularExpression(QStringLiteral("^  average throughput: \\d+\\.\\d\\d MB/s$")).match(log[6]).hasMatch(),
                 qPrintable(log[6]));
        QVERIFY2(QRegularExpression(QStringLiteral("^  maximum throughput: \\d+\\.\\d\\d MB/s$")).match(log[7]).hasMatch(),
                 qPrintable(log[7]));
        QCOMPARE(log[8], QString::asprintf(" unique words: %d; text processed: %d; total words: %d ",
                                           static_cast<int>(unique_words.load()), static_cast<int>(text_processed.load()),
                                           static_cast<int>(total_words.load())));
        QVERIFY(total_words.load() >= 6);
        // The end tick refreshed the labels with the final figures.
        QCOMPARE(gauge(), 100);
        QCOMPARE(label("Label2"), mb(total_bytes_read.load()));
        QCOMPARE(label("Label3"), mb(total_bytes.load()));
        QCOMPARE(label("Label4"), QStringLiteral("0:00 "));
        QVERIFY(label("Label1").endsWith(QStringLiteral(" MB/s")));
        QCOMPARE(f->find<QProgressBar>("CGauge1")->text(), QStringLiteral("100%"));

        f->closeRun();
        QCOMPARE(f->status(1), QStringLiteral("Search in: %1 (3 files)").arg(f->qpath("tree")));
        QVERIFY(messages.isEmpty());
    }

    void nothingToReadLeavesTheGaugeAtZero() {
        f->write("tree/empty1.txt", "");
        f->write("tree/empty2.txt", "");
        QVERIFY(f->startRun(f->qpath("tree")));
        QCOMPARE(gauge(), 0);
        QCOMPARE(label("Label3"), QStringLiteral("0.00 MB"));
        QCOMPARE(f->log()[1], QStringLiteral("Index complete ! :-)"));
        QCOMPARE(f->log()[5], QStringLiteral("  total files: 2 "));
    }

    void elapsedTimeShowsMinutesAndSeconds() {
        QVERIFY(startHeldRun());
        QCOMPARE(f->find<QPushButton>("stop")->text(), QStringLiteral("&Abort"));
        timer()->stop(); // the ticks below are ours
        f->scanform->setStartTime(get_seconds() - 75.9);
        for (int i = 0; i < 10; i++) f->scanform->Timer1Timer(); // one of them starts a label cycle
        QCOMPARE(label("Label4"), QStringLiteral("1:15 "));
        hold_reads = false;
        while (status_idx() == 1) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        f->scanform->setStartTime(get_seconds() - 61.2);
        f->scanform->Timer1Timer(); // the end report, which refreshes the labels whatever the cycle
        QVERIFY(f->log().contains(QStringLiteral("  Time for Scan: 1:01")));
        QCOMPARE(label("Label4"), QStringLiteral("1:01 "));
        QCOMPARE(f->find<QPushButton>("stop")->text(), QStringLiteral("&Close"));
    }

    void closingDuringARunAbortsAlwaysTheSameWay() {
        struct Outcome {
            QStringList log;
            QList<Message> boxes;
            QString status, tip;
            bool search;
        };
        QList<Outcome> outcomes;
        const std::function<void()> ways[] = {
            [&] { f->find<QPushButton>("stop")->click(); },                   // "&Abort"
            [&] { f->scanform->close(); },                                    // the close box
            [&] { QTest::keyClick(f->scanform, Qt::Key_Escape); },            // Escape
        };
        for (const auto &close_it : ways) {
            init();
            QVERIFY(startHeldRun());
            QVERIFY(f->log().contains(QStringLiteral("Scanning ...")));
            close_it();
            QVERIFY(!f->scanform->isVisible());
            QCOMPARE(status_idx(), 3);
            QTRY_VERIFY(!timer()->isActive());
            auto *p = f->mainform->panel(1);
            outcomes.append({f->log(), messages, p->text(), p->toolTip(), f->find<QPushButton>("BitBtn2")->isEnabled()});
        }
        // With no index before, the files read up to the cancel are the index: the dialog, the
        // status bar and idx.dat all say so, and no box calls it a failure.
        const Outcome &o = outcomes[0];
        const QString partial = QStringLiteral(
            "indexing was cancelled; there was no index before, so it holds the files read up to then");
        QCOMPARE(o.log, (QStringList{"Scanning ...", "Scan aborted!", partial}));
        QCOMPARE(o.boxes.size(), 0);
        QVERIFY2(o.status.startsWith(QStringLiteral("Search in: ")) && o.status.endsWith(QStringLiteral("/tree (1 files)")),
                 qPrintable(o.status));
        QCOMPARE(o.tip, partial);
        QVERIFY(o.search);
        for (const Outcome &other : outcomes.mid(1)) {
            QCOMPARE(other.log, o.log);
            QVERIFY(other.status.endsWith(QStringLiteral("/tree (1 files)")));
            QCOMPARE(other.tip, o.tip);
            QCOMPARE(other.boxes.size(), 0);
        }
    }

    void cancelKeepsThePreviousIndexAndShowsIt() {
        f->write("other/b.txt", "harbour lights at night");
        QVERIFY(f->index(f->qpath("other")));
        auto slurp = [&] {
            std::ifstream in(f->path("idx.dat"), std::ios::binary);
            return std::string(std::istreambuf_iterator<char>(in), {});
        };
        const std::string before = slurp();
        QVERIFY(startHeldRun());
        f->find<QPushButton>("stop")->click();
        QCOMPARE(status_idx(), 3);
        QTRY_VERIFY(!timer()->isActive());
        const QString kept = QStringLiteral("indexing was cancelled; the previous index is kept");
        QCOMPARE(f->log(), (QStringList{"Scanning ...", "Scan aborted!", kept}));
        QVERIFY(messages.isEmpty());
        QVERIFY(slurp() == before);
        // The index shown is the one on disk, the previous one.
        QCOMPARE(f->status(1), QStringLiteral("Search in: %1 (1 files)").arg(f->qpath("other")));
        QCOMPARE(f->mainform->panel(1)->toolTip(), kept);
        QVERIFY(f->find<QPushButton>("BitBtn2")->isEnabled());
    }

    // A failed run leaves idx.dat as it was: the window shows that index again, and the log says so.
    void failedRunKeepsAndShowsThePreviousIndex() {
        f->write("tree/a.txt", "harbour lights at night");
        QVERIFY(f->index(f->qpath("tree")));
        QVERIFY(f->find<QPushButton>("BitBtn2")->isEnabled());
        f->mkdir("empty");
        QVERIFY(f->startRun(f->qpath("empty")));
        QCOMPARE(f->log(), (QStringList{"Scanning ...", "no file found below the path", "SCAN FAILED !",
                                        "The run failed; the previous index is kept."}));
        messages.clear();
        f->closeRun();
        QCOMPARE(messages.size(), 1);
        QCOMPARE(messages[0].text, QStringLiteral("indexing failed"));
        QCOMPARE(f->status(1), QStringLiteral("Search in: %1 (1 files)").arg(f->qpath("tree")));
        QCOMPARE(f->mainform->panel(1)->toolTip(), QStringLiteral("no file found below the path"));
        QVERIFY(f->find<QPushButton>("BitBtn2")->isEnabled());
    }

    void refusedRunLogsItsReasonOnce() {
        std::string deep = "tree";
        while (f->path(deep).size() < 270) deep += "/abcdefghijklmnopqrstuvwxyz";
        f->write(deep + "/a.txt", "harbour lights at night");
        QVERIFY(f->startRun(f->qpath(deep)));
        QCOMPARE(f->log(), (QStringList{"ERROR: Can not initialize indexscan !",
                                        "path too long: the index keeps at most 259 bytes of it", "SCAN FAILED !",
                                        "The run failed; there is no index."}));
        f->closeRun();
        QCOMPARE(f->status(1), QStringLiteral("No index loaded"));
    }

    void reloadThatFailsShowsItsBox() {
        f->write("tree/a.txt", "harbour lights at night");
        f->write("tree/b.txt", "a lantern in the window");
        QVERIFY(f->startRun(f->qpath("tree")));
        // The folder changes before the reload, and without its catalogue the index must be walked.
        std::filesystem::remove(f->path("tree/b.txt"));
        std::filesystem::remove(idx_dir_file("idx.files"));
        f->closeRun();
        QCOMPARE(messages.size(), 1);
        QCOMPARE(messages[0].text, QStringLiteral("Error reading index file !"));
        QCOMPARE(messages[0].title, QStringLiteral("Ohoh !"));
        QVERIFY(messages[0].owned);
        QCOMPARE(f->status(1), QStringLiteral("No index loaded"));
        QCOMPARE(f->mainform->panel(1)->toolTip(), QStringLiteral("the indexed folder has changed since the index was made"));
        QVERIFY(!f->find<QPushButton>("BitBtn2")->isEnabled());
    }

    void nextRunStartsAfresh() {
        f->write("tree/a.txt", "harbour lights at night");
        QVERIFY(f->index(f->qpath("tree")));
        QVERIFY(f->startRun(f->qpath("tree")));
        QCOMPARE(f->log().first(), QStringLiteral("Scanning ..."));
        QCOMPARE(f->log().size(), 9); // the previous run's lines are gone
        QCOMPARE(f->find<QPushButton>("stop")->text(), QStringLiteral("&Close"));
    }
};

QObject *make_scan_dialog_test() { return new ScanDialogTest; }

#include "running_test.moc"
