#include "views/PinView.h"

#include "viewmodel/DeviceViewModel.h"
#include "views/NormalButton.h"
#include "views/Palette.h"
#include "views/TextFit.h"

#include <QApplication>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include <openssl/crypto.h>

namespace {
constexpr int columnWidth = 500;
const char* const rowNames[] = {"oldPinRow", "newPinRow", "confirmPinRow", "authPinRow"};
const char* const editNames[] = {"oldPinField", "newPinField", "confirmPinField", "authPinField"};

} // namespace

PinView::PinView(DeviceViewModel& dv, QWidget* parent) : QWidget(parent), dv_(dv)
{
    setObjectName("pinPage");
    setFixedSize(1024, 420);
    auto* column = new QWidget(this);
    column->setFixedWidth(columnWidth);
    auto* lines = new QVBoxLayout(column);
    lines->setContentsMargins(0, 0, 0, 0);
    lines->setSpacing(12);
    for (int i = 0; i < 4; ++i) {
        Row& row = rows_[static_cast<std::size_t>(i)];
        row.row = new QWidget(column);
        row.row->setObjectName(rowNames[i]);
        auto* layout = new QHBoxLayout(row.row);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(10);
        row.label = new QLabel(row.row);
        row.label->setFont(Palette::font(20));
        row.edit = new QLineEdit(row.row);
        row.edit->setObjectName(editNames[i]);
        row.edit->setFont(Palette::font(20));
        row.edit->setEchoMode(QLineEdit::Password);
        row.edit->setContextMenuPolicy(Qt::NoContextMenu);
        layout->addWidget(row.label);
        layout->addWidget(row.edit, 1);
        lines->addWidget(row.row);
        const auto field = static_cast<Field>(i);
        connect(row.edit, &QLineEdit::textEdited, this, [this, field](const QString& text) { edited(field, text); });
    }
    ok_ = new NormalButton({}, 150, [&dv] { dv.pinOkClicked(); }, column);
    ok_->setObjectName("okButton");
    cancel_ = new NormalButton({}, 150, [&dv] { dv.pinCancelClicked(); }, column);
    cancel_->setObjectName("cancelButton");
    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(10);
    buttons->addStretch();
    buttons->addWidget(ok_);
    buttons->addWidget(cancel_);
    buttons->addStretch();
    lines->addSpacing(8);
    lines->addLayout(buttons);

    auto* page = new QVBoxLayout(this);
    page->addStretch();
    page->addWidget(column, 0, Qt::AlignHCenter);
    page->addStretch();

    connect(&dv, &DeviceViewModel::oldPinChanged, this, [this] { showModelText(oldPin); });
    connect(&dv, &DeviceViewModel::newPinChanged, this, [this] { showModelText(newPin); });
    connect(&dv, &DeviceViewModel::confirmPinChanged, this, [this] { showModelText(confirmPin); });
    connect(&dv, &DeviceViewModel::authPinChanged, this, [this] { showModelText(authPin); });
    for (auto signal : {&DeviceViewModel::hasOldPinChanged, &DeviceViewModel::hasNewPinChanged,
                        &DeviceViewModel::hasConfirmPinChanged, &DeviceViewModel::hasAuthPinChanged})
        connect(&dv, signal, this, &PinView::refreshRows);
    for (auto signal : {&DeviceViewModel::uiStrChanged, &DeviceViewModel::pinLengthHintChanged})
        connect(&dv, signal, this, &PinView::refreshTexts);
    for (auto signal : {&DeviceViewModel::pinInputDoneChanged, &DeviceViewModel::busyChanged})
        connect(&dv, signal, this, &PinView::refreshButtons);
    connect(&dv, &DeviceViewModel::pinViewVisibleChanged, this, &PinView::pageShownOrHidden);
    refreshRows();
    refreshTexts();
    refreshButtons();
    colourFields();
}

void PinView::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::ApplicationPaletteChange || event->type() == QEvent::PaletteChange)
        colourFields();
    QWidget::changeEvent(event);
}

void PinView::colourFields()
{
    // On the dark background a field of the scheme's own base colour would not stand out: it takes the
    // panel colour there.
    for (Row& row : rows_) {
        QPalette palette = QApplication::palette();
        if (Palette::isDark())
            palette.setColor(QPalette::Base, Palette::dimBackground());
        row.edit->setPalette(palette);
    }
}

const SecureString& PinView::modelText(Field field) const
{
    switch (field) {
    case oldPin: return dv_.oldPin();
    case newPin: return dv_.newPin();
    case confirmPin: return dv_.confirmPin();
    case authPin: return dv_.authPin();
    }
    return dv_.authPin();
}

void PinView::edited(Field field, const QString& text)
{
    QLineEdit* edit = rows_[field].edit;
    // What the model drops before the cursor (a space typed, a line feed pasted) moves the cursor back with it.
    int cursor = edit->cursorPosition();
    for (int i = std::min<int>(cursor, static_cast<int>(text.size())) - 1; i >= 0; --i)
        if (text[i] == QChar(' ') || text[i].category() == QChar::Other_Control)
            --cursor;
    QByteArray utf8 = text.toUtf8();
    dv_.pinFieldEdited(static_cast<DeviceViewModel::PinField>(field),
                       std::string_view(utf8.constData(), static_cast<std::size_t>(utf8.size())));
    OPENSSL_cleanse(utf8.data(), static_cast<std::size_t>(utf8.size()));
    showModelText(field);
    edit->setCursorPosition(cursor);
}

void PinView::showModelText(Field field)
{
    QLineEdit* edit = rows_[field].edit;
    const std::string_view text = modelText(field).view();
    QString shown = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    if (edit->text() != shown)
        edit->setText(shown);
    // The field keeps its own copy; this one goes (data() first detaches it from the field's, if shared).
    if (!shown.isEmpty())
        OPENSSL_cleanse(shown.data(), static_cast<std::size_t>(shown.size()) * sizeof(QChar));
}

void PinView::refreshRows()
{
    rows_[oldPin].row->setVisible(dv_.hasOldPin());
    rows_[newPin].row->setVisible(dv_.hasNewPin());
    rows_[confirmPin].row->setVisible(dv_.hasConfirmPin());
    rows_[authPin].row->setVisible(dv_.hasAuthPin());
    placeFocus();
}

void PinView::refreshTexts()
{
    const UIStringVal& texts = dv_.uiStr();
    rows_[oldPin].label->setText(qs(texts.pinOldPin));
    rows_[newPin].label->setText(qs(texts.pinNewPin));
    rows_[confirmPin].label->setText(qs(texts.pinConfirmPin));
    rows_[authPin].label->setText(qs(texts.pinAuthPin));
    for (Row& row : rows_)
        row.edit->setPlaceholderText(qs(dv_.pinLengthHint()));
    ok_->setText(qs(texts.pinOk));
    cancel_->setText(qs(texts.pinCancel));
}

void PinView::refreshButtons()
{
    // A button about to be disabled would hand the keyboard to the top bar, and the key's answer would then give
    // it back there: it goes to the page's first field instead.
    if (dv_.busy() && (ok_->hasFocus() || cancel_->hasFocus()))
        setFocus(Qt::OtherFocusReason);
    // Nothing on the page takes input while the key works on what was typed.
    ok_->setEnabled(dv_.pinInputDone() && !dv_.busy());
    cancel_->setEnabled(!dv_.busy());
    for (Row& row : rows_)
        row.edit->setReadOnly(dv_.busy());
}

namespace {
PinView::Field fieldOf(PinView::FocusedField focus)
{
    switch (focus) {
    case PinView::FocusedField::oldPinField: return PinView::oldPin;
    case PinView::FocusedField::newPinField: return PinView::newPin;
    case PinView::FocusedField::authPinField: return PinView::authPin;
    }
    return PinView::newPin;
}
} // namespace

std::optional<PinView::FocusedField> PinView::focusedField() const
{
    for (FocusedField focus : {FocusedField::oldPinField, FocusedField::newPinField, FocusedField::authPinField})
        if (rows_[fieldOf(focus)].edit->hasFocus())
            return focus;
    return std::nullopt;
}

void PinView::placeFocus()
{
    // The field a person types into first. The page hands its focus on to it, so the keyboard is there the moment
    // the page comes up.
    const FocusedField focus = dv_.hasOldPin()    ? FocusedField::oldPinField
                               : dv_.hasAuthPin() ? FocusedField::authPinField
                                                  : FocusedField::newPinField;
    QLineEdit* edit = rows_[fieldOf(focus)].edit;
    setFocusProxy(edit);
    if (isVisible())
        edit->setFocus(Qt::OtherFocusReason);
}

void PinView::pageShownOrHidden()
{
    if (dv_.pinViewVisible()) {
        refreshRows();
        return;
    }
    for (Row& row : rows_)
        row.edit->clear();
}
