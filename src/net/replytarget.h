#pragma once

#include "units/marluneunit.h"

// The member of the record a reply field is stored in: a text or a number. The reply tables name
// their member once; a number stored in a text member is written in decimal ("0" or "1" for the
// flags kept as text).
struct ReplyTarget
{
    constexpr ReplyTarget(QString MarluneUnit::*text) : text(text) {}
    constexpr ReplyTarget(quint32 MarluneUnit::*number) : number(number) {}
    constexpr ReplyTarget(qint32 MarluneUnit::*signedNumber) : signedNumber(signedNumber) {}

    bool isText() const { return text != nullptr; }
    void set(MarluneUnit &unit, const QString &value) const { unit.*text = value; }
    void set(MarluneUnit &unit, qint64 value) const
    {
        if (number)
            unit.*number = quint32(value);
        else if (signedNumber)
            unit.*signedNumber = qint32(value);
        else
            unit.*text = QString::number(value);
    }

    QString MarluneUnit::*text = nullptr;
    quint32 MarluneUnit::*number = nullptr;
    qint32 MarluneUnit::*signedNumber = nullptr;
};
