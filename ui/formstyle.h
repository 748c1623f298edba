#pragma once
// What every window of the program shares in look and placement: the desktop's
// default sans-serif at 8 point (the original face is not on Linux), and a
// place at the centre of the screen.

#include <QFont>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

inline QFont FormFont() {
  QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
  font.setStyleHint(QFont::SansSerif);
  font.setPointSize(8);
  return font;
}

inline void CenterOnScreen(QWidget* window) {
  QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
  if (!screen) return;
  QRect frame = window->frameGeometry();
  frame.moveCenter(screen->availableGeometry().center());
  window->move(frame.topLeft());
}

// A dialog of a fixed client size with the shared font, centred.
inline void SetUpForm(QWidget* window, const QString& caption, int clientWidth, int clientHeight) {
  window->setWindowTitle(caption);
  window->setFont(FormFont());
  window->setFixedSize(clientWidth, clientHeight);
  CenterOnScreen(window);
}
