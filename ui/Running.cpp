#include "ui/Running.h"

#include <QCloseEvent>
#include <QFile>
#include <QTimer>
#include <algorithm>

#include "front/display.h"
#include "front/report.h"
#include "idx/engine.h"
#include "idx/idxdir.h"
#include "ui/Main.h"
#include "ui_Running.h"

static constexpr double MB = 1048576.0;

Tscanform::Tscanform(Tmainform *main) : QDialog(main), ui(new Ui::Tscanform), mainform(main) {
    ui->setupUi(this);
    for (QLabel *label : {ui->StaticText1, ui->StaticText2, ui->StaticText3}) fit_text(label);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setFixedSize(377, 293);
    move(242, 260);
    setWindowModality(Qt::ApplicationModal);
    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(20);
    connect(Timer1, &QTimer::timeout, this, &Tscanform::Timer1Timer);
    connect(ui->stop, &QPushButton::clicked, this, &Tscanform::stopClick);
    main->setScanForm(this);
}

Tscanform::~Tscanform() { delete ui; }

void Tscanform::log(const QString &line) { ui->Memo1->appendPlainText(line); }

void Tscanform::logReason() {
    if (reason_logged || !*idx_reason()) return;
    log(QString::fromStdString(escaped_name(idx_reason())));
    reason_logged = true;
}

void Tscanform::StartScan(const QByteArray &path) {
    ui->CGauge1->setValue(0);
    setWindowTitle(QStringLiteral("Scanning ..."));
    ui->stop->setText(QStringLiteral("&Abort"));
    ui->Memo1->clear();
    // Each run's statistics show its own maximum, not the largest since the program started.
    max_throughput = 0;
    ticks = 0;
    reason_logged = false;
    start_time = get_seconds();
    scan_path = path;
    seed_stop_list(); // an index directory without a stop list gets the default one, as with the CLI
    if (create_idx(scan_path.constData()) == -1) {
        log(QStringLiteral("ERROR: Can not initialize indexscan !"));
        logReason();
    } else {
        log(QStringLiteral("Scanning ..."));
    }
    Timer1->start();
    show();
}

void Tscanform::Timer1Timer() {
    double elapsed = get_seconds() - start_time;
    int s = static_cast<int>(elapsed);
    int minutes = s / 60, seconds = s % 60;
    // The status first: once it says the run has ended, the counters read below are final.
    int status = status_idx();
    Progress p = progress();
    uint64_t total = p.total_bytes, done = p.bytes_read;
    float throughput = p.throughput;
    if (status != IDX_ACTIVE) {
        if (status == IDX_DONE) {
            // A run that ends before a tick has seen its rate: the final rate counts too.
            max_throughput = std::max(max_throughput, throughput);
            for (const std::string &line : complete_report(elapsed, max_throughput))
                log(QString::fromStdString(line));
        } else {
            logReason();
            // A cancel that kept an index did not fail: the reason says what idx.dat holds now. A
            // failed run leaves idx.dat as it was, and the log says whether there is one.
            if (cancel_kept == CancelKept::none) {
                log(QStringLiteral("SCAN FAILED !"));
                log(QFile::exists(QFile::decodeName(idx_dir_file("idx.dat").c_str()))
                        ? QStringLiteral("The run failed; the previous index is kept.")
                        : QStringLiteral("The run failed; there is no index."));
            }
        }
        // Every file or folder the run left out is named, as olmarest-cli names them.
        for (const std::string &line : unread_report()) log(QString::fromStdString(line));
        Timer1->stop();
        ui->stop->setText(QStringLiteral("&Close"));
        ticks = 0;
    }
    int percent = total > 0 ? static_cast<int>(100.0 * static_cast<double>(done) / static_cast<double>(total)) : 0;
    ui->CGauge1->setValue(std::clamp(percent, 0, 100));
    if (throughput > max_throughput) max_throughput = throughput;
    if (ticks % 10 == 0) {
        auto set = [](QLabel *label, const QString &text) {
            label->setText(text);
            label->adjustSize();
        };
        set(ui->Label1, QString::asprintf("%.2f MB/s", throughput / MB));
        set(ui->Label2, QString::asprintf("%.2f MB", static_cast<double>(done) / MB));
        set(ui->Label3, QString::asprintf("%.2f MB", static_cast<double>(total) / MB));
        // Elapsed time, and once a few per cent are read an estimate of the time still needed.
        std::string left = status == IDX_ACTIVE ? time_left(done, total, throughput) : "";
        set(ui->Label4, QString::asprintf("%d:%02d ", minutes, seconds) +
                            (left.empty() ? QString() : QStringLiteral(" (%1)").arg(QString::fromStdString(left))));
    }
    ticks++;
}

void Tscanform::stopClick() { close(); }

void Tscanform::reject() { close(); }

void Tscanform::closeEvent(QCloseEvent *event) {
    // A second close while the first one's message box is up waits for that one; a hidden dialog
    // has nothing to close (and must not reload the index).
    if (!isVisible()) {
        event->accept();
        return;
    }
    if (closing) {
        event->ignore();
        return;
    }
    closing = true;
    FormClose();
    closing = false;
    event->accept();
    done(QDialog::Accepted);
}

void Tscanform::FormClose() {
    int status = status_idx();
    if (status == IDX_ACTIVE) {
        log(cancel_idx() == -1 ? QStringLiteral("Cancel failed!") : QStringLiteral("Scan aborted!"));
        // The UI thread waits for the indexing thread: read_idx must never run beside it. Reports
        // the thread raises meanwhile are shown here, or it would wait for us as we wait for it.
        status = wait_run_end(10, show_pending_reports);
    }
    if (status == IDX_DONE) {
        if (mainform->loadIndex() != 0) {
            show_message(this, QStringLiteral("Error reading index file !"), QStringLiteral("Ohoh !"));
            mainform->showNoIndex();
        }
    } else if (cancel_kept != CancelKept::none) {
        // The index on disk after a cancel (the previous one, or with none the files read) is the
        // one shown, with the reason that says which it is.
        QString why = QString::fromStdString(escaped_name(idx_reason()));
        logReason(); // now: the load below replaces the reason
        if (mainform->loadIndex() != 0) {
            show_message(this, QStringLiteral("Error reading index file !"), QStringLiteral("Ohoh !"));
            mainform->showNoIndex();
        } else {
            mainform->panel(1)->setToolTip(why);
        }
    } else {
        // A failed run leaves idx.dat as it was: the index there, if any, is the one shown again.
        QString why = QString::fromStdString(escaped_name(idx_reason()));
        show_message(nullptr, QStringLiteral("indexing failed"), QString());
        if (mainform->loadIndex() != 0) {
            mainform->showNoIndex();
        } else {
            mainform->panel(1)->setToolTip(why);
        }
    }
}
