#pragma once

#include <QMutex>
#include <QMutexLocker>
#include <QStringList>
#include <QtGlobal>

// Captures the developer log ("hoop.updater" category) for the lifetime of the
// object; other messages go on to the previous handler.
class DevLogCapture
{
public:
    DevLogCapture()
    {
        s_current = this;
        m_previous = qInstallMessageHandler(&DevLogCapture::handler);
    }
    ~DevLogCapture()
    {
        qInstallMessageHandler(m_previous);
        s_current = nullptr;
    }
    DevLogCapture(const DevLogCapture &) = delete;
    DevLogCapture &operator=(const DevLogCapture &) = delete;

    QStringList lines() const
    {
        QMutexLocker lock(&m_lock);
        return m_lines;
    }
    void clear()
    {
        QMutexLocker lock(&m_lock);
        m_lines.clear();
    }
    bool contains(const QString &line) const { return lines().contains(line); }

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        DevLogCapture *self = s_current;
        if (!self || qstrcmp(context.category, "hoop.updater") != 0) {
            if (self && self->m_previous)
                self->m_previous(type, context, text);
            return;
        }
        QMutexLocker lock(&self->m_lock);
        self->m_lines.append(text);
    }

    inline static DevLogCapture *s_current = nullptr;
    QtMessageHandler m_previous = nullptr;
    mutable QMutex m_lock;
    QStringList m_lines;
};
