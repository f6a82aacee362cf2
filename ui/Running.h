// The scan dialog (Tscanform): starts an indexing run, shows its log, elapsed time, throughput,
// bytes read and a percentage gauge from a 20 ms timer, prints the statistics when the run ends,
// aborts a run when closed, and reloads the index into the main window afterwards. One instance
// serves every run; it is hidden between runs. UI thread only: it reads the engine's progress
// values without locks, for display.
#ifndef OLMAREST_UI_RUNNING_H
#define OLMAREST_UI_RUNNING_H

#include <QByteArray>
#include <QDialog>

class QTimer;
class Tmainform;
namespace Ui {
class Tscanform;
}

class Tscanform : public QDialog {
    Q_OBJECT

  public:
    explicit Tscanform(Tmainform *mainform);
    ~Tscanform() override;

    // Starts a run over path and shows the dialog, modal to the whole application. Returns at
    // once; finished() is emitted when the dialog has closed.
    void StartScan(const QByteArray &path);

    // Event handlers.
    void Timer1Timer();
    void stopClick();
    // Any closing: aborts a running build and waits for its end, then reloads the index and
    // updates the main window. The dialog is hidden, not destroyed.
    void FormClose();

    // For tests: when the run started, on get_seconds' clock.
    void setStartTime(double seconds) { start_time = seconds; }

  protected:
    void closeEvent(QCloseEvent *event) override;
    void reject() override; // Escape closes as the close box does

  private:
    void log(const QString &line);
    void logReason(); // the engine's reason for a refused or failed run, once per run

    Ui::Tscanform *ui;
    QTimer *Timer1;
    Tmainform *mainform;
    QByteArray scan_path;       // the indexing thread reads it until the run has ended
    double start_time = 0;      // seconds, get_seconds
    float max_throughput = 0;   // bytes per second, largest seen in this run
    int ticks = 0;              // timer ticks since the last label update cycle began
    bool reason_logged = false;
    bool closing = false;
};

#endif
