#pragma once
// The path field FLD(0): a line edit that reports Enter (without consuming
// it), leaving the field for another control of the window, and dropped
// file lists. Dropped text is refused rather than pasted.
#include <QLineEdit>

class PathField : public QLineEdit {
    Q_OBJECT
public:
    using QLineEdit::QLineEdit;

signals:
    void keyDown(int keyCode, int shift);
    void leftField();
    void filesDropped(const QStringList& paths);

protected:
    bool event(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
};
