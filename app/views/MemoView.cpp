#include "MemoView.h"

#include "ChannelView.h"
#include "Cp1252.h"
#include "KeyMap.h"
#include "Platform.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QMenu>
#include <QPainter>
#include <QPointer>
#include <QScrollBar>
#include <algorithm>
#include <climits>
#include <cmath>

namespace {
constexpr int kMargin = 2; // left and top inner margin, as a memo has

QEvent::Type SyncEventType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

QFont MemoFont() {
    QFont f;
    f.setFamilies({QStringLiteral("Courier New"), QStringLiteral("Liberation Mono"),
                   QStringLiteral("DejaVu Sans Mono"), QStringLiteral("monospace")});
    f.setStyleHint(QFont::TypeWriter);
    f.setFixedPitch(true);
    f.setPixelSize(12);
    return f;
}

// Codes without a glyph (DEL and the code page's holes) paint as the empty box
// a font shows for them, so that every column keeps its width.
QChar PaintedChar(std::uint8_t b) {
    const char32_t u = cp1252::ToUnicode(b);
    if (u < 0x20 || (u >= 0x7F && u < 0xA0)) return QChar(0x25AF);
    return QChar(static_cast<char16_t>(u));
}
} // namespace

QString MemoBytesToQString(const std::string& bytes) {
    QString s;
    s.reserve(static_cast<qsizetype>(bytes.size()));
    for (const char c : bytes)
        s.append(QChar(static_cast<char16_t>(cp1252::ToUnicode(static_cast<std::uint8_t>(c)))));
    return s;
}

// ---- TMemoView ------------------------------------------------------------------

TMemoView::TMemoView(QWidget* parent) : QAbstractScrollArea(parent) {
    setFont(MemoFont());
    UpdateMetrics();
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setCursor(Qt::ArrowCursor);
    SetColors(Qt::white, QColor(128, 128, 128));
    verticalScrollBar()->setSingleStep(1);
    UpdateScrollBar();
}

void TMemoView::UpdateMetrics() {
    const QFontMetricsF fm(font());
    FCharWidth = fm.horizontalAdvance(QString(60, QLatin1Char('M'))) / 60.0;
    FLineHeight = std::max(1, static_cast<int>(std::ceil(fm.height())));
    FAscent = static_cast<int>(std::ceil(fm.ascent()));
}

void TMemoView::changeEvent(QEvent* e) {
    QAbstractScrollArea::changeEvent(e);
    if (e->type() == QEvent::FontChange) {
        UpdateMetrics();
        UpdateScrollBar();
        viewport()->update();
    }
}

TMemoView::~TMemoView() {
    if (FModel) FModel->SetObserver(nullptr);
}

void TMemoView::SetModel(TMemoText* model) {
    if (FModel) FModel->SetObserver(nullptr);
    FModel = model;
    if (FModel) {
        FModel->SetObserver(this);
        FScrollSeen = FModel->ScrollRequests();
    }
    Sync();
}

void TMemoView::MemoChanged() {
    if (FSyncPosted) return;
    FSyncPosted = true;
    QCoreApplication::postEvent(this, new QEvent(SyncEventType()));
}

void TMemoView::MemoDestroyed() {
    FModel = nullptr;
    MemoChanged();
}

void TMemoView::Sync() {
    FSyncPosted = false;
    UpdateScrollBar();
    if (FModel && FModel->ScrollRequests() != FScrollSeen) {
        FScrollSeen = FModel->ScrollRequests();
        EnsureVisible(FModel->Caret());
    }
    viewport()->update();
}

bool TMemoView::event(QEvent* e) {
    if (e->type() == SyncEventType()) {
        platform::Guarded([this] { Sync(); });
        return true;
    }
    if (e->type() == QEvent::ShortcutOverride && FEditShortcuts) {
        auto* ke = static_cast<QKeyEvent*>(e);
        if (ke == QKeySequence::Copy || ke == QKeySequence::SelectAll) {
            ke->accept();
            return true;
        }
    }
    return QAbstractScrollArea::event(e);
}

void TMemoView::SetColors(const QColor& text, const QColor& back) {
    FText = text;
    FBack = back;
    viewport()->update();
}

std::uint64_t TMemoView::TopLine() const {
    return static_cast<std::uint64_t>(std::max(0, verticalScrollBar()->value()));
}

int TMemoView::VisibleLines() const {
    return std::max(1, (viewport()->height() - kMargin) / FLineHeight);
}

void TMemoView::UpdateScrollBar() {
    const std::uint64_t lines = FModel ? FModel->LineCount() : 0;
    const auto page = static_cast<std::uint64_t>(VisibleLines());
    const std::uint64_t max = lines > page ? lines - page : 0;
    QScrollBar* bar = verticalScrollBar();
    bar->setPageStep(static_cast<int>(page));
    bar->setRange(0, static_cast<int>(std::min<std::uint64_t>(max, INT_MAX)));
}

void TMemoView::EnsureVisible(TMemoPos pos) {
    const std::uint64_t top = TopLine();
    const auto page = static_cast<std::uint64_t>(VisibleLines());
    std::uint64_t newTop = top;
    if (pos.Line < top)
        newTop = pos.Line;
    else if (pos.Line >= top + page)
        newTop = pos.Line - page + 1;
    if (newTop != top)
        verticalScrollBar()->setValue(static_cast<int>(std::min<std::uint64_t>(newTop, INT_MAX)));
}

TMemoPos TMemoView::PosAt(const QPoint& pt) const {
    if (!FModel || FModel->LineCount() == 0) return {};
    const int row = (pt.y() - kMargin) < 0 ? -1 : (pt.y() - kMargin) / FLineHeight;
    const std::uint64_t top = TopLine();
    std::uint64_t line;
    if (row < 0)
        line = top > 0 ? top - 1 : 0;
    else
        line = top + static_cast<std::uint64_t>(row);
    const double col = std::round((pt.x() - kMargin) / FCharWidth);
    return FModel->Clamp({line, static_cast<std::uint64_t>(std::max(0.0, col))});
}

QPoint TMemoView::PointOf(TMemoPos pos) const {
    const auto row = static_cast<long long>(pos.Line) - static_cast<long long>(TopLine());
    return {kMargin + static_cast<int>(std::lround(pos.Col * FCharWidth)),
            kMargin + static_cast<int>(row * FLineHeight)};
}

void TMemoView::DrawLine(QPainter& p, const std::string& line, int y) const {
    const int baseline = y + FAscent;
    std::size_t i = 0;
    while (i < line.size()) {
        const auto b = static_cast<std::uint8_t>(line[i]);
        const qreal x = kMargin + i * FCharWidth;
        if (b >= 32 && b < 127) {
            // A run of plain ASCII draws in one go.
            std::size_t j = i;
            while (j < line.size() && static_cast<std::uint8_t>(line[j]) >= 32 &&
                   static_cast<std::uint8_t>(line[j]) < 127)
                ++j;
            p.drawText(QPointF(x, baseline),
                       QString::fromLatin1(line.data() + i, static_cast<qsizetype>(j - i)));
            i = j;
        } else {
            // Other characters sit in their own column whatever their glyph's width.
            p.drawText(QPointF(x, baseline), QString(PaintedChar(b)));
            ++i;
        }
    }
}

void TMemoView::paintEvent(QPaintEvent*) {
    QPainter p(viewport());
    const bool enabled = isEnabled();
    const QColor back = enabled ? FBack : palette().color(QPalette::Disabled, QPalette::Window);
    const QColor text = enabled ? FText : palette().color(QPalette::Disabled, QPalette::Text);
    p.fillRect(viewport()->rect(), back);
    if (!FModel) return;
    p.setFont(font());
    const std::uint64_t n = FModel->LineCount();
    const std::uint64_t top = TopLine();
    const TMemoPos from = std::min(FModel->Anchor(), FModel->Caret());
    const TMemoPos to = std::max(FModel->Anchor(), FModel->Caret());
    const int rows = VisibleLines() + 1;
    const QColor hlBack = palette().color(QPalette::Highlight);
    const QColor hlText = palette().color(QPalette::HighlightedText);
    for (int r = 0; r < rows && top + r < n; ++r) {
        const std::uint64_t i = top + static_cast<std::uint64_t>(r);
        const std::string line = FModel->Line(i);
        const int y = kMargin + r * FLineHeight;
        p.setPen(text);
        if (from != to && i >= from.Line && i <= to.Line) {
            const std::uint64_t a = i == from.Line ? from.Col : 0;
            // A selected line break shows as one selected column past the text.
            const std::uint64_t b = i == to.Line ? to.Col : line.size() + 1;
            const QRect sel(PointOf({i, a}).x(), y, PointOf({i, b}).x() - PointOf({i, a}).x(),
                            FLineHeight);
            p.fillRect(sel, hlBack);
            p.save();
            p.setClipRegion(QRegion(viewport()->rect()).subtracted(sel));
            DrawLine(p, line, y);
            p.setClipRect(sel);
            p.setPen(hlText);
            DrawLine(p, line, y);
            p.restore();
        } else {
            DrawLine(p, line, y);
        }
    }
    if (hasFocus() && enabled) {
        const TMemoPos c = FModel->Caret();
        if (c.Line >= top && c.Line < top + static_cast<std::uint64_t>(rows)) {
            const QPoint pt = PointOf(c);
            p.fillRect(QRect(pt.x(), pt.y(), 1, FLineHeight), text);
        }
    }
}

void TMemoView::resizeEvent(QResizeEvent* e) {
    QAbstractScrollArea::resizeEvent(e);
    UpdateScrollBar();
}

void TMemoView::MoveCaret(TMemoPos to, bool extend) {
    if (!FModel) return;
    to = FModel->Clamp(to);
    FModel->SetSelection(extend ? FModel->Anchor() : to, to);
    EnsureVisible(to);
    viewport()->update();
}

bool TMemoView::NavigateKey(QKeyEvent* e) {
    if (!FModel) return false;
    const bool ctrl = e->modifiers() & Qt::ControlModifier;
    const bool shift = e->modifiers() & Qt::ShiftModifier;
    if (e->key() == Qt::Key_Insert && ctrl && !shift) {
        Copy();
        return true;
    }
    if (FEditShortcuts && e == QKeySequence::Copy) {
        Copy();
        return true;
    }
    if (FEditShortcuts && e == QKeySequence::SelectAll) {
        SelectAll();
        return true;
    }
    const std::uint64_t n = FModel->LineCount();
    if (n == 0) return false;
    TMemoPos c = FModel->Caret();
    const auto page = static_cast<std::uint64_t>(VisibleLines());
    switch (e->key()) {
    case Qt::Key_Left:
        if (c.Col > 0)
            --c.Col;
        else if (c.Line > 0)
            c = {c.Line - 1, FModel->LineLength(c.Line - 1)};
        break;
    case Qt::Key_Right:
        if (c.Col < FModel->LineLength(c.Line))
            ++c.Col;
        else if (c.Line + 1 < n)
            c = {c.Line + 1, 0};
        break;
    case Qt::Key_Up:
        if (c.Line > 0) --c.Line;
        break;
    case Qt::Key_Down:
        if (c.Line + 1 < n) ++c.Line;
        break;
    case Qt::Key_PageUp:
        c.Line = c.Line > page ? c.Line - page : 0;
        break;
    case Qt::Key_PageDown:
        c.Line = std::min(n - 1, c.Line + page);
        break;
    case Qt::Key_Home:
        c = ctrl ? TMemoPos{} : TMemoPos{c.Line, 0};
        break;
    case Qt::Key_End:
        c = {ctrl ? n - 1 : c.Line, ~std::uint64_t{0}};
        break;
    default:
        return false;
    }
    MoveCaret(c, shift);
    return true;
}

void TMemoView::keyPressEvent(QKeyEvent* e) {
    if (NavigateKey(e))
        e->accept();
    else
        QAbstractScrollArea::keyPressEvent(e);
}

void TMemoView::mousePressEvent(QMouseEvent* e) {
    if (e->button() != Qt::LeftButton || !FModel) {
        QAbstractScrollArea::mousePressEvent(e);
        return;
    }
    setFocus(Qt::MouseFocusReason);
    const TMemoPos pos = PosAt(e->position().toPoint());
    FModel->SetSelection((e->modifiers() & Qt::ShiftModifier) ? FModel->Anchor() : pos, pos);
    FDragging = true;
    viewport()->update();
}

void TMemoView::mouseMoveEvent(QMouseEvent* e) {
    if (!FDragging || !FModel || !(e->buttons() & Qt::LeftButton)) return;
    const TMemoPos pos = PosAt(e->position().toPoint());
    FModel->SetSelection(FModel->Anchor(), pos);
    EnsureVisible(pos); // dragging past an edge scrolls
    viewport()->update();
}

void TMemoView::mouseReleaseEvent(QMouseEvent* e) {
    if (e->button() == Qt::LeftButton && FDragging) {
        FDragging = false;
        CopyToSelectionClipboard();
    }
}

void TMemoView::mouseDoubleClickEvent(QMouseEvent* e) {
    if (e->button() != Qt::LeftButton || !FModel || FModel->LineCount() == 0) return;
    // Selects the word (the run of non-blank characters) under the pointer.
    const TMemoPos pos = PosAt(e->position().toPoint());
    const std::string line = FModel->Line(pos.Line);
    std::size_t a = std::min<std::size_t>(pos.Col, line.size());
    std::size_t b = a;
    if (b < line.size() && line[b] == ' ' && a > 0 && line[a - 1] != ' ') --a, --b;
    while (a > 0 && line[a - 1] != ' ')
        --a;
    while (b < line.size() && line[b] != ' ')
        ++b;
    FModel->SetSelection({pos.Line, a}, {pos.Line, b});
    CopyToSelectionClipboard();
    viewport()->update();
}

void TMemoView::contextMenuEvent(QContextMenuEvent* e) {
    QMenu menu(this);
    QAction* copy = menu.addAction(tr("&Copy"));
    copy->setEnabled(FModel && FModel->HasSelection());
    QAction* all = menu.addAction(tr("Select &All"));
    all->setEnabled(FModel && FModel->LineCount() > 0);
    QAction* chosen = menu.exec(e->globalPos());
    if (chosen == copy)
        Copy();
    else if (chosen == all)
        SelectAll();
}

void TMemoView::focusInEvent(QFocusEvent* e) {
    QAbstractScrollArea::focusInEvent(e);
    viewport()->update();
}

void TMemoView::focusOutEvent(QFocusEvent* e) {
    QAbstractScrollArea::focusOutEvent(e);
    viewport()->update();
}

bool TMemoView::focusNextPrevChild(bool) {
    return false;
}

void TMemoView::Copy() {
    if (!FModel || !FModel->HasSelection()) return;
    QGuiApplication::clipboard()->setText(MemoBytesToQString(FModel->SelectedText("\n")));
}

void TMemoView::CopyToSelectionClipboard() {
    QClipboard* cb = QGuiApplication::clipboard();
    if (FModel && FModel->HasSelection() && cb->supportsSelection())
        cb->setText(MemoBytesToQString(FModel->SelectedText("\n")), QClipboard::Selection);
}

void TMemoView::SelectAll() {
    if (!FModel) return;
    FModel->SelectAll();
    CopyToSelectionClipboard();
    viewport()->update();
}

// ---- TTxEditor -----------------------------------------------------------------

TTxEditor::TTxEditor(QWidget* parent) : TMemoView(parent) {
    FEditShortcuts = false;
    viewport()->setCursor(Qt::IBeamCursor);
    setAttribute(Qt::WA_InputMethodEnabled);
    SetColors(palette().color(QPalette::Active, QPalette::Text),
              palette().color(QPalette::Active, QPalette::Base));
}

bool TTxEditor::event(QEvent* e) {
    // Ctrl keys are hex digits and control codes here, never shortcuts.
    if (e->type() == QEvent::ShortcutOverride) {
        auto* ke = static_cast<QKeyEvent*>(e);
        if ((ke->modifiers() & Qt::ControlModifier) && !(ke->modifiers() & Qt::AltModifier)) {
            ke->accept();
            return true;
        }
    }
    return TMemoView::event(e);
}

void TTxEditor::TrackModifiers(const QKeyEvent& e, bool press) {
    Qt::KeyboardModifiers key;
    switch (e.key()) {
    case Qt::Key_Control:
        key = Qt::ControlModifier;
        break;
    case Qt::Key_Shift:
        key = Qt::ShiftModifier;
        break;
    case Qt::Key_Alt:
        key = Qt::AltModifier;
        break;
    case Qt::Key_Meta:
        key = Qt::MetaModifier;
        break;
    default:
        break;
    }
    // A modifier's own event may report the state from before it.
    FHeld = press ? e.modifiers() | key : e.modifiers() & ~key;
}

void TTxEditor::keyReleaseEvent(QKeyEvent* e) {
    TrackModifiers(*e, false);
    TMemoView::keyReleaseEvent(e);
}

void TTxEditor::focusInEvent(QFocusEvent* e) {
    FHeld = QGuiApplication::queryKeyboardModifiers();
    TMemoView::focusInEvent(e);
}

void TTxEditor::keyPressEvent(QKeyEvent* e) {
    TrackModifiers(*e, true);
    if (e->key() == Qt::Key_Insert && e->modifiers() == Qt::ShiftModifier) {
        e->accept();
        platform::Guarded([&] {
            if (OnPaste) OnPaste(this);
        });
        return;
    }
    const TKeyStroke ks = TranslateKey(*e);
    // Sending may let window messages run; the editor may go away meanwhile.
    QPointer<TTxEditor> self(this);
    platform::Guarded([&] {
        if (OnKeyDown) OnKeyDown(this, ks.Key, ks.Shift);
    });
    for (const char32_t c : ks.Chars) {
        if (!self) return;
        RaiseKeyPress(c);
    }
    if (!self) return;
    // The key-down is not consumed: navigation keys still move the caret.
    NavigateKey(e);
    e->accept();
}

void TTxEditor::contextMenuEvent(QContextMenuEvent* e) {
    QMenu menu(this);
    QAction* copy = menu.addAction(tr("&Copy"));
    copy->setEnabled(Model() && Model()->HasSelection());
    QAction* all = menu.addAction(tr("Select &All"));
    all->setEnabled(Model() && Model()->LineCount() > 0);
    menu.addSeparator();
    QAction* paste = menu.addAction(tr("&Paste to send"));
    paste->setObjectName("PasteToSend");
    paste->setShortcut(QKeySequence(Qt::SHIFT | Qt::Key_Insert));
    paste->setEnabled(isEnabled() && OnPaste && !QGuiApplication::clipboard()->text().isEmpty());
    QPointer<TTxEditor> self(this);
    QAction* chosen = menu.exec(e->globalPos());
    if (!self) return;
    if (chosen == copy)
        Copy();
    else if (chosen == all)
        SelectAll();
    else if (chosen == paste)
        platform::Guarded([&] {
            if (OnPaste) OnPaste(this);
        });
}

void TTxEditor::RaiseKeyPress(char32_t ch) {
    platform::Guarded([&] {
        if (OnKeyPress) OnKeyPress(this, ch);
    });
}

void TTxEditor::inputMethodEvent(QInputMethodEvent* e) {
    // Composed text (compose key, input methods) arrives as typed characters;
    // the pre-edit text is never shown.
    // The keystroke that completed it went to the input method, not here: its
    // modifiers are the ones held now, whatever the last key-down had.
    QPointer<TTxEditor> self(this);
    const TShiftState shift = ShiftStateOf(FHeld, QGuiApplication::mouseButtons());
    for (const char32_t c : e->commitString().toUcs4()) {
        if (!self) return;
        platform::Guarded([&] {
            if (OnComposed)
                OnComposed(this, c, shift);
            else if (OnKeyPress)
                OnKeyPress(this, c);
        });
    }
    e->accept();
}

void TTxEditor::changeEvent(QEvent* e) {
    TMemoView::changeEvent(e);
    if (e->type() == QEvent::PaletteChange)
        SetColors(palette().color(QPalette::Active, QPalette::Text),
                  palette().color(QPalette::Active, QPalette::Base));
}

// ---- wiring ---------------------------------------------------------------------

void AttachChannelViews(TChannelView& channel, TMemoView* outPutList, TTxEditor* inputList,
                        QWidget* ansiView) {
    outPutList->SetModel(&channel.OutPutList());
    inputList->SetModel(&channel.InputList());
    // The editor loses its model when the channel goes: then keys go nowhere.
    inputList->OnKeyDown = [&channel](TTxEditor* sender, std::uint16_t key, TShiftState shift) {
        if (sender->Model()) channel.InputListKeyDown(key, shift);
    };
    inputList->OnKeyPress = [&channel](TTxEditor* sender, char32_t ch) {
        if (sender->Model()) channel.InputListKeyPress(ch);
    };
    inputList->OnComposed = [&channel](TTxEditor* sender, char32_t ch, TShiftState shift) {
        if (sender->Model()) channel.InputListComposed(ch, shift);
    };
    QPointer<TMemoView> out(outPutList);
    QPointer<QWidget> ansi(ansiView);
    channel.ShowOutPutList = [out, ansi](bool visible) {
        if (ansi) ansi->setVisible(!visible);
        if (out) out->setVisible(visible);
    };
    QPointer<TTxEditor> in(inputList);
    channel.FocusInputList = [in] {
        if (in && in->isEnabled()) in->setFocus();
    };
    if (ansi) ansi->setVisible(!channel.OutPutVisible());
    outPutList->setVisible(channel.OutPutVisible());
}
