#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <QLineEdit>

class QString;
class QWidget;

// The number at the start of `text` as the classic C conversion reads it: leading blanks,
// an optional sign and the digits that follow; 0 when there are none. A number too long for
// 64 bits reads as the largest (or smallest) one.
int64_t DecimalOf(const QString& text);

// The warning of a number field that does not fit: "<name> must be a whole number from
// <minimum> to <maximum>."
std::string FieldNumberText(const std::string& name, int64_t minimum, int64_t maximum);

// A number field of a dialog. The value the dialog was opened with comes back unchanged for
// as long as the field shows it: a stored value that typing could not give (from an older
// document or an imported file) never keeps a dialog from closing, least of all in a field
// the user cannot reach. What the user types is read by DecimalOf and refused only when the
// field cannot hold it, so that nothing is stored as another number than the one typed.
// User-interface thread.
class CNumberEdit : public QLineEdit {
    Q_OBJECT
public:
    // `name` names the field in its refusal; typed numbers fit within [minimum, maximum].
    CNumberEdit(const char* name, int64_t minimum, int64_t maximum, QWidget* parent = nullptr);

    // Shows `value` as the one the dialog was opened with.
    void ShowNumber(int64_t value);
    // The number to store: the opened value while the field still shows it, else the typed
    // number; nullopt when the typed number does not fit.
    std::optional<int64_t> Number() const;
    // True once the field shows something else than the value it was opened with, so the
    // rules of typed input apply.
    bool Edited() const;
    // The warning shown when Number() is nullopt.
    std::string RefusalText() const;

private:
    std::string m_name;
    int64_t m_minimum;
    int64_t m_maximum;
    std::optional<int64_t> m_shownValue;
    QString m_shownText;
};

// A CNumberEdit named `objectName` (what tests find it by), at most `maxWidth` pixels wide.
CNumberEdit* NewNumberEdit(const char* objectName, const char* name, int64_t minimum,
                           int64_t maximum, int maxWidth, QWidget* parent);

// One arrow step of a spin beside a number edit: the edit's number (DecimalOf its first 255
// characters) plus `step` for a negative delta (the up arrow), else minus it, kept within
// [minimum, maximum]; the edit shows the result.
void StepNumber(QLineEdit* edit, int delta, int64_t step, int64_t minimum, int64_t maximum);

// Refuses what `field` holds: shows `text` in a warning box, then gives the focus to the
// field, or, when it is disabled (typed into, then switched off), to the nearest enabled
// control before it in the tab order, which is the switch that enables it.
void RefuseField(QWidget* field, const std::string& text);
// Gives the focus as RefuseField does, without a box.
void FocusField(QWidget* field);
