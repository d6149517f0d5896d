#pragma once

#include "units/unitfields.h"

#include <type_traits>

// Sets one field of the record, through the field table, to a value made from n: its text, the
// number (negated for signed fields), n + index in every array element, or a time n seconds after
// a fixed one. Different n give different values, and none equals a fresh record's.
inline void setUnitField(MarluneUnit &unit, const UnitField &field, int n)
{
    std::visit(
        [&](auto member) {
            auto &value = unit.*member;
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, QString>) {
                value = QStringLiteral("text %1, more").arg(n);
            } else if constexpr (std::is_same_v<T, MarluneUnit::Channels>) {
                for (size_t i = 0; i < value.size(); ++i)
                    value[i] = quint32(n) * 100 + quint32(i);
            } else if constexpr (std::is_same_v<T, QDateTime>) {
                value = QDateTime(QDate(2015, 4, 13), QTime(9, 15)).addSecs(n);
            } else if constexpr (std::is_signed_v<T>) {
                value = -n;
            } else {
                value = T(n);
            }
        },
        field.member);
}
