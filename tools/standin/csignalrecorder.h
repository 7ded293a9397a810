#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QList>
#include <QObject>

// Records every signal of one member of an interface on a bus (the product's broadcast
// interface unless told otherwise; an empty member means every member), from any sender and
// any path, with the time it arrived.
class CSignalRecorder : public QObject
{
    Q_OBJECT

public:
    struct SSignal
    {
        QDBusMessage oMessage;
        qint64 llMs;
    };

    CSignalRecorder(QDBusConnection oConnection, const QString& sMember,
                    const QString& sInterface = "com.Quorvik.Veltrano.Signals");

    QList<SSignal> signalsFrom(const QString& sPath) const;
    const QList<SSignal>& all() const;
    int count(const QString& sMember) const;
    // The latest signal of that member; an empty message if none came.
    QDBusMessage last(const QString& sMember) const;

private slots:
    void record(const QDBusMessage& oMessage);

private:
    QList<SSignal> m_lSignals;
};
