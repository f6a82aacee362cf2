// The scan dialog's percentage gauge: a navy bar on white inside a single dark border, with the
// percentage centred on it, white where the bar lies under it and navy elsewhere so that it stays
// readable at every value. Values are a QProgressBar's; only the look is ours. UI thread only.
#ifndef OLMAREST_UI_GAUGE_H
#define OLMAREST_UI_GAUGE_H

#include <QPainter>
#include <QProgressBar>

class Gauge : public QProgressBar {
  public:
    using QProgressBar::QProgressBar;

  protected:
    void paintEvent(QPaintEvent *) override {
        QPainter p(this);
        const QColor navy(0, 0, 128);
        QRect frame = rect().adjusted(0, 0, -1, -1);
        p.setPen(Qt::black);
        p.setBrush(Qt::white);
        p.drawRect(frame);
        QRect inside = rect().adjusted(1, 1, -1, -1);
        int span = maximum() - minimum();
        int w = span > 0 ? static_cast<int>(static_cast<long long>(inside.width()) * (value() - minimum()) / span) : 0;
        QRect bar(inside.left(), inside.top(), w, inside.height());
        p.fillRect(bar, navy);
        QString label = text();
        p.setPen(navy);
        p.setClipRect(inside.adjusted(w, 0, 0, 0));
        p.drawText(inside, Qt::AlignCenter, label);
        p.setPen(Qt::white);
        p.setClipRect(bar);
        p.drawText(inside, Qt::AlignCenter, label);
    }
};

#endif
