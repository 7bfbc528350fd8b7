#include "ui/number_edit.h"

#include <algorithm>
#include <limits>

#include <QString>
#include <QWidget>

#include "platform/message_box.h"
#include "ui/ui_setup_hooks.h"

int64_t DecimalOf(const QString& text) {
    qsizetype i = 0;
    while (i < text.size() && (text[i] == QLatin1Char(' ') ||
                               (text[i] >= QLatin1Char('\t') && text[i] <= QLatin1Char('\r'))))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == QLatin1Char('-') || text[i] == QLatin1Char('+'))) {
        negative = text[i] == QLatin1Char('-');
        ++i;
    }
    constexpr int64_t kLargest = std::numeric_limits<int64_t>::max();
    int64_t value = 0;
    for (; i < text.size() && text[i] >= QLatin1Char('0') && text[i] <= QLatin1Char('9'); ++i) {
        const int digit = text[i].unicode() - '0';
        value = value > (kLargest - digit) / 10 ? kLargest : value * 10 + digit;
    }
    return negative ? -value : value;
}

std::string FieldNumberText(const std::string& name, int64_t minimum, int64_t maximum) {
    return name + " must be a whole number from " + std::to_string(minimum) + " to " +
           std::to_string(maximum) + ".";
}

CNumberEdit::CNumberEdit(const char* name, int64_t minimum, int64_t maximum, QWidget* parent)
    : QLineEdit(parent), m_name(name), m_minimum(minimum), m_maximum(maximum) {}

CNumberEdit* NewNumberEdit(const char* objectName, const char* name, int64_t minimum,
                           int64_t maximum, int maxWidth, QWidget* parent) {
    auto* edit = new CNumberEdit(name, minimum, maximum, parent);
    edit->setObjectName(objectName);
    edit->setMaximumWidth(maxWidth);
    return edit;
}

void CNumberEdit::ShowNumber(int64_t value) {
    m_shownText = QString::number(value);
    m_shownValue = value;
    setText(m_shownText);
}

bool CNumberEdit::Edited() const {
    return !m_shownValue || text() != m_shownText;
}

std::optional<int64_t> CNumberEdit::Number() const {
    if (!Edited())
        return m_shownValue;
    const int64_t typed = DecimalOf(text());
    if (typed < m_minimum || typed > m_maximum)
        return std::nullopt;
    return typed;
}

std::string CNumberEdit::RefusalText() const {
    return FieldNumberText(m_name, m_minimum, m_maximum);
}

void StepNumber(QLineEdit* edit, int delta, int64_t step, int64_t minimum, int64_t maximum) {
    // Bounded first, so that a number far outside the field's range cannot overflow.
    int64_t n = std::clamp(DecimalOf(edit->text().left(255)), minimum - step, maximum + step);
    n = delta < 0 ? n + step : n - step;
    edit->setText(QString::number(std::clamp(n, minimum, maximum)));
}

void RefuseField(QWidget* field, const std::string& text) {
    ShowMessageBox(kBoxCaption, text, MB_OK | MB_ICONWARNING);
    FocusField(field);
}

void FocusField(QWidget* field) {
    auto takesFocus = [](const QWidget* w) {
        return w->isEnabled() && (w->focusPolicy() & Qt::TabFocus) != 0 &&
               w->isVisibleTo(w->window());
    };
    QWidget* target = field;
    while (!takesFocus(target)) {
        target = target->previousInFocusChain();
        if (target == nullptr || target == field)
            return;  // nothing in the window takes the focus: leave it where it is
    }
    target->setFocus(Qt::OtherFocusReason);
    if (auto* edit = qobject_cast<QLineEdit*>(target))
        edit->selectAll();
}
