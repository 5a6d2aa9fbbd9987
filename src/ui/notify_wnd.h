// The new-mail notification on the desktop: the handler that runs when a retrieval ended (sound,
// blinking tray icon, window), the sound itself, and the small window that shows the four counts.
//
// User-interface thread only.
#pragma once

#include <QPointer>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <array>
#include <memory>
#include <string>

#include "ui/model/notification.h"

class QSoundEffect;

namespace qm {

class CMainFrame;

// Plays the new-mail sound; tests put a recorder in its place.
class ISoundPlayer {
 public:
  virtual ~ISoundPlayer() = default;
  // `file`: the sound file's path as the settings hold it, for NotifySound::File.
  virtual void Play(NotifySound sound, const std::string& file) = 0;
};

// A file through QSoundEffect (which plays WAV), the desktop's beep otherwise.
class CQtSoundPlayer : public ISoundPlayer {
 public:
  CQtSoundPlayer();
  ~CQtSoundPlayer() override;
  void Play(NotifySound sound, const std::string& file) override;

 private:
  // Kept: a sound that is still playing stops with its object.
  std::unique_ptr<QSoundEffect> effect;
};

class CNotifyWnd : public QWidget {
  Q_OBJECT

 public:
  static constexpr const char* kHeading = "新着メール";
  static constexpr const char* kTitle = "Quillmoor 通知";

  struct Request {
    std::array<std::uint32_t, 4> counts{};  // friend, bad, spam, other
    bool insideMainWindow = false;
    int position = NotifyBottomRight;
    int seconds = 10;
  };

  // Shows a new window and makes it current; the window that was current is asked to close.
  static CNotifyWnd* Show(CMainFrame& frame, const Request& request);
  // The current window, or nullptr.
  static CNotifyWnd* Current();
  static void CloseCurrent();

  ~CNotifyWnd() override;

  bool Floating() const { return floating; }
  const std::array<QString, 4>& CountTexts() const { return texts; }
  // The interval of the running close timer in milliseconds, 0 when none runs.
  int CloseTimerMilliseconds() const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  CNotifyWnd(CMainFrame& frame, const Request& request, int id);
  void Place(const Request& request);
  void Carry(std::uint32_t actions);

  QPointer<CMainFrame> frame;
  int id;
  bool floating;
  std::array<QString, 4> texts;
  QTimer closeTimer;
  CNotifyMouse mouse;
};

// The handler of a finished retrieval on the desktop.
class CNotifier {
 public:
  CNotifier(CMainFrame& mainFrame, ISoundPlayer& soundPlayer)
      : frame(mainFrame), player(soundPlayer) {}
  // `trigger` and `index` as the retrieval posted them. Needs the frame's list attached.
  void OnRetrievalEnded(int trigger, int index);

 private:
  CMainFrame& frame;
  ISoundPlayer& player;
};

}  // namespace qm
