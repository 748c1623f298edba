#pragma once
// TAnimate: the file-copy animation of the copy dialog, drawn by our own code.
// A sheet of paper flies in an arc from the folder on the left into the folder
// on the right; frames 1 to StopFrame are shown in turn, over and over, while
// the animation is active. Stopping keeps the frame that was showing.

#include <QImage>
#include <QTimer>
#include <QWidget>

class TAnimate : public QWidget {
  Q_OBJECT
 public:
  explicit TAnimate(QWidget* parent = nullptr);

  static constexpr int kFrameWidth = 272;
  static constexpr int kFrameHeight = 60;
  static constexpr int kFrameIntervalMs = 60;

  int StopFrame = 20;  // the last frame of the cycle; the first is 1

  bool Active() const { return timer_.isActive(); }
  void SetActive(bool active);
  int Frame() const { return frame_; }

  // Frame `frame` of a cycle of `frames` frames, as the widget paints it.
  static QImage RenderFrame(int frame, int frames);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void NextFrame();

  QTimer timer_;
  int frame_ = 1;
};
