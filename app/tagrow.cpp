#include "tagrow.h"

QString TagRow::cell(int column) const
{
    switch (column) {
    case kIdColumn:
        return QString::number(id);
    case kNumberColumn:
        return number;
    case kKeyColumn:
        return key;
    case kValueColumn:
        return value;
    case kTypeColumn:
        return type;
    case kDescriptionColumn:
        return description;
    case kFormatColumn:
        return format;
    default:
        return QString();
    }
}

void TagRow::setCell(int column, const QString &text)
{
    switch (column) {
    case kIdColumn:
        id = text.toLongLong();
        break;
    case kNumberColumn:
        number = text;
        break;
    case kKeyColumn:
        key = text;
        break;
    case kValueColumn:
        value = text;
        break;
    case kTypeColumn:
        type = text;
        break;
    case kDescriptionColumn:
        description = text;
        break;
    case kFormatColumn:
        format = text;
        break;
    default:
        break;
    }
}

bool TagRow::operator==(const TagRow &other) const
{
    return id == other.id && number == other.number && key == other.key && value == other.value &&
           type == other.type && description == other.description && format == other.format;
}
