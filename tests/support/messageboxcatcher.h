#ifndef MESSAGEBOXCATCHER_H
#define MESSAGEBOXCATCHER_H

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>
#include <QTimer>

// Records and dismisses the modal message boxes that code under test shows,
// so a test can run through start-up without a person pressing OK.
class MessageBoxCatcher : public QObject
{
public:
    struct Box {
        QString title;
        QString text;
        QString informativeText;
        Qt::WindowFlags flags;
        bool styled;
        QRegion mask;
        QSize size;
    };

    MessageBoxCatcher()
    {
        QObject::connect(&m_poll, &QTimer::timeout, this, [this] { dismissOpenBox(); });
        m_poll.start(20);
    }

    QList<Box> boxes;

private:
    void dismissOpenBox()
    {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        boxes.append({box->windowTitle(), box->text(), box->informativeText(), box->windowFlags(),
                      !box->styleSheet().isEmpty(), box->mask(), box->size()});
        box->button(QMessageBox::Ok)->click();
    }

    QTimer m_poll;
};

#endif // MESSAGEBOXCATCHER_H
