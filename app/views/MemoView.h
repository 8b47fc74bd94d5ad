// The memo widgets of a channel. TMemoView is the read-only receive view: it
// paints only the visible lines of its TMemoText, so appending costs the same
// however long the text is, and it keeps selection, copy and scrolling.
// TTxEditor is the transmit editor: the same view with key input mapped to
// virtual-key codes, shift state and characters; it never inserts typed text,
// its text changes only through the model.
#pragma once

#include "MemoText.h"
#include "TxKeys.h"

#include <QAbstractScrollArea>
#include <QColor>
#include <QString>
#include <functional>
#include <string>

class TChannelView;

// The Unicode text of memo bytes (Windows-1252).
QString MemoBytesToQString(const std::string& bytes);

class TMemoView : public QAbstractScrollArea, private TMemoObserver {
    Q_OBJECT
public:
    explicit TMemoView(QWidget* parent = nullptr);
    ~TMemoView() override;

    void SetModel(TMemoText* model); // not owned; may be destroyed first
    TMemoText* Model() const { return FModel; }

    void Copy(); // the selection to the clipboard
    void SelectAll();

    void SetColors(const QColor& text, const QColor& back);
    std::uint64_t TopLine() const;
    int VisibleLines() const; // whole lines that fit in the view
    int LineHeight() const { return FLineHeight; }
    double CharWidth() const { return FCharWidth; }
    TMemoPos PosAt(const QPoint& viewportPoint) const;
    QPoint PointOf(TMemoPos pos) const; // top left of the character cell
    // Applies the model's changes to the scroll bar and the caret's place now;
    // normally a posted event does it once per burst of changes.
    void Sync();

protected:
    bool event(QEvent* e) override;
    void paintEvent(QPaintEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void mouseDoubleClickEvent(QMouseEvent* e) override;
    void contextMenuEvent(QContextMenuEvent* e) override;
    void focusInEvent(QFocusEvent* e) override;
    void focusOutEvent(QFocusEvent* e) override;
    bool focusNextPrevChild(bool next) override; // Tab stays in the memo
    void changeEvent(QEvent* e) override;
    // Caret movement and copy keys; true when the key was one of them.
    bool NavigateKey(QKeyEvent* e);
    // Ctrl+C / Ctrl+A act as copy and select all (not in the transmit editor,
    // where they are hex digits).
    bool FEditShortcuts = true;

private:
    void MemoChanged() override;
    void MemoDestroyed() override;
    void UpdateMetrics();
    void UpdateScrollBar();
    void EnsureVisible(TMemoPos pos);
    void MoveCaret(TMemoPos to, bool extend);
    void DrawLine(class QPainter& p, const std::string& line, int y) const;
    void CopyToSelectionClipboard();

    TMemoText* FModel = nullptr;
    bool FSyncPosted = false;
    bool FDragging = false;
    std::uint64_t FScrollSeen = 0;
    int FLineHeight = 14;
    int FAscent = 11;
    double FCharWidth = 7;
    QColor FText, FBack;
};

class TTxEditor : public TMemoView {
    Q_OBJECT
public:
    explicit TTxEditor(QWidget* parent = nullptr);

    // Key-down and character events, in the terms of the key logic.
    std::function<void(TTxEditor* sender, std::uint16_t key, TShiftState shift)> OnKeyDown;
    std::function<void(TTxEditor* sender, char32_t ch)> OnKeyPress;
    // A character committed by an input method, with the modifiers held as it
    // was composed (it has no key-down of its own).
    std::function<void(TTxEditor* sender, char32_t ch, TShiftState shift)> OnComposed;
    // Shift+Insert or the menu's "Paste to send": the clipboard's text is to
    // be sent (Ctrl+V stays a key like the others).
    std::function<void(TTxEditor* sender)> OnPaste;

protected:
    bool event(QEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    void contextMenuEvent(QContextMenuEvent* e) override;
    void inputMethodEvent(QInputMethodEvent* e) override;
    void keyReleaseEvent(QKeyEvent* e) override;
    void focusInEvent(QFocusEvent* e) override;
    void changeEvent(QEvent* e) override;

private:
    void RaiseKeyPress(char32_t ch);
    void TrackModifiers(const QKeyEvent& e, bool press);

    // Modifiers held, as this editor's own key events tell: the keys an input
    // method takes never arrive here, the modifier releases do.
    Qt::KeyboardModifiers FHeld;
};

// Wires a channel to its widgets: the models, the editor's keys into the key
// logic, the memo's visibility (ansiView, if given, shows while the memo is
// hidden) and the editor's focus after a mode switch.
void AttachChannelViews(TChannelView& channel, TMemoView* outPutList, TTxEditor* inputList,
                        QWidget* ansiView = nullptr);
