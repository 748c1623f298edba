#include "speech/copysequence.h"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <thread>

#include "link/devicelink.h"
#include "speech/audio.h"

StreamHandle CopyStream = 0;
std::uint32_t SavedVolume = 0;
std::uint32_t TrialVolume = 0;

namespace {
const QString kToneFile = QStringLiteral("resources\\tone.mp3");
}  // namespace

namespace {
// For each failure, in the order of the enum: the code a script reads and the
// user's message. %1 in the cut-stream message: the entry whose recording the
// gap spoilt.
struct FailureText {
  CopyFailure failure;
  const char* code;
  const char* message;
};
constexpr FailureText kFailureTexts[] = {
    {CopyFailure::AdcFailed, "level-query-failed",
     "Fehler bei Abfrage des ADC. Sollte ein Kommunikationsproblem sein."},
    {CopyFailure::NoSignal, "no-signal", "Kein Audiosignal oder zu geringer Pegel."},
    {CopyFailure::StartFailed, "start-recording-failed",
     "Fehler beim starten der Aufnahme. Sollte ein Kommunikationsproblem sein."},
    {CopyFailure::StopFailed, "stop-recording-failed",
     "Fehler beim Stoppen der Aufnahme. Entweder der Speicher ist voll oder es gibt ein "
     "Kommunikationsproblem. Überspringe weitere Übertragung."},
    {CopyFailure::ProcessingFailed, "processing-failed",
     "Fehler bei der Sprachdatenanalyse oder Kommunikation abgebrochen."},
    {CopyFailure::Unplayable, "unplayable-entries", "Folgende Dateien konnten nicht abgespielt werden:"},
    {CopyFailure::SoundCut, "sound-cut",
     "Die Tonausgabe ist während der Wiedergabe von %1 ausgefallen; die Aufnahme ist unvollständig. "
     "Die Übertragung wurde abgebrochen."},
    {CopyFailure::NoAudioOutput, "no-audio-output", "Audioausgabe nicht gefunden"},
    {CopyFailure::VolumeNotRestored, "volume-not-restored",
     "Die Lautstärke der Audioausgabe konnte nicht zurückgesetzt werden. Bitte von Hand auf %1 % stellen."},
};
constexpr bool InEnumOrder() {
  for (size_t i = 0; i < std::size(kFailureTexts); ++i)
    if (static_cast<size_t>(kFailureTexts[i].failure) != i) return false;
  return std::size(kFailureTexts) == static_cast<size_t>(CopyFailure::VolumeNotRestored) + 1;
}
static_assert(InEnumOrder(), "one entry per failure, in the order of the enum");

const FailureText& TextsOf(CopyFailure failure) { return kFailureTexts[static_cast<size_t>(failure)]; }
}  // namespace

const char* CopyFailureCode(CopyFailure failure) { return TextsOf(failure).code; }

CopySequence::CopySequence(Host& host, std::vector<ClockLink*> clocks) : host_(host) {
  for (ClockLink* link : clocks) clocks_.push_back(Clock{link});
}

size_t CopySequence::ClocksInRun() const {
  return static_cast<size_t>(
      std::count_if(clocks_.begin(), clocks_.end(), [this](const Clock& clock) { return InRun(clock); }));
}

QString CopyFailureMessage(CopyFailure failure) { return QString::fromUtf8(TextsOf(failure).message); }

// The user's volume is read before the first command: a cancel inside that
// command's wait for the port puts back what was read here, not what an
// earlier run left. A volume that cannot be read is no level of 0 % to put
// back at the end: the run ends before anything is sent.
void CopySequence::Start() {
  host_.Holding(true);
  ++run_;
  runOpen_ = true;
  unplayed_.clear();
  for (Clock& clock : clocks_) {
    clock.stage = Stage::Recording;
    clock.startOwed = false;
  }
  host_.ResetProgress();
  saved_ = ReadOutputVolume();
  if (!saved_) {
    const std::uint64_t run = run_;
    Status(QStringLiteral("Status: Fehler."));
    host_.Message(CopyFailure::NoAudioOutput, CopyFailureMessage(CopyFailure::NoAudioOutput));
    if (RunEndedSince(run)) return;
    EndRun();
    host_.Close();
    return;
  }
  SavedVolume = saved_->value;
  host_.LevelSaved(*saved_);
  const std::uint64_t run = run_;
  for (Clock& clock : clocks_) {
    clock.link->Send("*", StillCurrent(run));
    if (RunEndedSince(run)) return;
  }
  // A run cancelled during processing leaves the clock's verdict owed; the
  // clock may give it minutes later. It belongs to that run, and the
  // recordings' verdicts of this one must not meet it, so this run waits
  // for it first.
  for (Clock& clock : clocks_) {
    if (!clock.link->OwesAnswers()) continue;
    Status(QStringLiteral("Status: Warte auf das Gerät (die vorige Verarbeitung läuft noch)..."));
    clock.link->AwaitOwedAnswers(kOwedVerdictWaitMs, true);
    if (RunEndedSince(run)) return;
  }
  TrialVolume = kFirstTrialVolume;
  SetOutputVolume(TrialVolume);
  Status(QStringLiteral("Status: Einpegeln... (0)"));
  host_.Arm(PlayTone, kStepMs);
}

// One tick: the timer stays off unless the state's step arms it again, so no
// tick starts while another waits for the device.
void CopySequence::Tick(int state) {
  if (!runOpen_) return;
  switch (state) {
    case PlayTone:
      StepPlayTone();
      break;
    case CheckLevel:
      StepCheckLevel();
      break;
    case StartNextFile:
      StepStartNextFile();
      break;
    case TrackPlayback:
      StepTrackPlayback();
      break;
    case FinishCopy:
      StepFinishCopy();
      break;
    default:
      break;
  }
}

// ------------------------------------------------------------ many clocks

std::vector<int32_t> CopySequence::AskAll(char letter, int32_t ticks, bool number, Stage stage) {
  std::vector<bool> due(clocks_.size());
  for (size_t i = 0; i < clocks_.size(); ++i)
    due[i] = stage == Stage::Stopped ? InRun(clocks_[i]) : clocks_[i].stage == stage;
  const std::uint64_t run = run_;
  const std::vector<ClockLink*> asked = WriteAll(letter, ticks, due);
  std::vector<int32_t> results(clocks_.size(), -1);
  if (RunEndedSince(run)) return results;
  ClockLink::CollectAll(asked);
  for (size_t i = 0; i < clocks_.size(); ++i)
    if (asked[i]) results[i] = asked[i]->TakeResult(number);
  return results;
}

std::vector<ClockLink*> CopySequence::WriteAll(char letter, int32_t ticks, const std::vector<bool>& due) {
  std::vector<ClockLink*> asked(clocks_.size(), nullptr);
  std::vector<bool> tried(clocks_.size(), false);
  const std::uint64_t run = run_;
  // Two rounds: a clock that would have to wait before its command can go
  // (an answer of the same kind still owed, a write still on its way) must
  // not hold up the commands of the others.
  for (const bool atOnce : {true, false}) {
    for (size_t i = 0; i < clocks_.size() && !RunEndedSince(run); ++i) {
      Clock& clock = clocks_[i];
      if (!due[i] || tried[i] || clock.link->WritesAtOnce(letter) != atOnce) continue;
      tried[i] = true;
      if (clock.link->WriteQuery(letter, ticks)) asked[i] = clock.link;
    }
  }
  return asked;
}

bool CopySequence::TakeStartAnswers(bool waitForAll) {
  const std::uint64_t run = run_;
  if (waitForAll) {
    std::vector<ClockLink*> owed;
    for (const Clock& clock : clocks_) owed.push_back(clock.startOwed ? clock.link : nullptr);
    ClockLink::CollectAll(owed);
    if (RunEndedSince(run)) return false;
  }
  for (size_t i = 0; i < clocks_.size(); ++i) {
    Clock& clock = clocks_[i];
    if (!clock.startOwed || !clock.link->QueryEnded()) continue;
    clock.startOwed = false;
    const int32_t verdict = clock.link->TakeResult(false);
    if (clock.stage == Stage::Recording && verdict != 0 &&
        !LeaveRun(i, CopyFailure::StartFailed, CopyFailureMessage(CopyFailure::StartFailed), true))
      return false;
  }
  return true;
}

void CopySequence::AwaitOwedAnswersOfAll(int maxMs) {
  QElapsedTimer waited;
  waited.start();
  for (Clock& clock : clocks_) {
    if (!InRun(clock)) continue;
    const qint64 left = maxMs - waited.elapsed();
    if (left <= 0) break;
    clock.link->AwaitOwedAnswers(static_cast<uint32_t>(left));
  }
}

bool CopySequence::LeaveRun(size_t index, CopyFailure failure, const QString& text, bool processing) {
  Clock& clock = clocks_[index];
  const bool last = ClocksInRun() == 1 && InRun(clock);
  const std::uint64_t run = run_;
  if (last && processing) Status(QStringLiteral("Status: Fehler."));
  host_.ClockMessage(index, failure, text);
  if (RunEndedSince(run)) return false;
  clock.stage = Stage::Out;
  if (last)
    EndRun();
  else
    clock.link->ReleaseWait();
  if (processing) clock.link->Send("H");
  clock.link->Send("{");
  if (!last) return !RunEndedSince(run);
  PutBackUsersLevel();
  host_.Close();
  return false;
}

void CopySequence::ClockGone(size_t index) {
  if (index >= clocks_.size() || !runOpen_ || !InRun(clocks_[index])) return;
  clocks_[index].stage = Stage::Out;
  clocks_[index].link->ReleaseWait();
  if (ClocksInRun() > 0) return;
  StopPlayback(CopyStream);
  EndRun();
  PutBackUsersLevel();
  host_.Close();
}

// --------------------------------------------------------------- the states
//
// After every call into the command channel, sends included (a send waits
// for the port's previous write while serving events), and after every
// message, a step first asks whether its run is still the current one: a
// cancel or the program's end may have ended it meanwhile, and then the step
// does nothing more. Its own commands that were still waiting for the port
// are not sent either.

void CopySequence::StepPlayTone() {
  PlayFile(CopyStream, host_.DataFolder() + kToneFile);
  host_.Arm(CheckLevel, kToneToLevelMs);
}

// Every clock in the run is asked at every volume; the volume rises until
// each of them hears enough. The status shows the lowest reading.
void CopySequence::StepCheckLevel() {
  const std::uint64_t run = run_;
  const std::vector<int32_t> levels = AskAll('B', ClockLink::kShortTimeoutTicks, true, Stage::Recording);
  if (RunEndedSince(run)) return;
  std::optional<int32_t> lowest;
  for (size_t i = 0; i < clocks_.size(); ++i)
    if (InRun(clocks_[i])) lowest = std::min(lowest.value_or(levels[i]), levels[i]);
  Status(QStringLiteral("Status: Einpegeln... (%1)").arg(lowest.value_or(-1)));
  for (size_t i = 0; i < clocks_.size(); ++i)
    if (InRun(clocks_[i])) host_.ClockLevel(i, levels[i], TrialVolume);
  for (size_t i = 0; i < clocks_.size(); ++i)
    if (InRun(clocks_[i]) && levels[i] <= 0 &&
        !LeaveRun(i, CopyFailure::AdcFailed, CopyFailureMessage(CopyFailure::AdcFailed), true))
      return;
  const auto tooLow = [&](size_t i) { return InRun(clocks_[i]) && levels[i] < kSufficientLevel; };
  bool anyTooLow = false;
  for (size_t i = 0; i < clocks_.size(); ++i) anyTooLow = anyTooLow || tooLow(i);
  if (anyTooLow) {
    TrialVolume += kVolumeStep;
    if (TrialVolume <= kHighestTrialVolume) {
      SetOutputVolume(TrialVolume);
      host_.Arm(PlayTone, kStepMs);
      return;
    }
    // Even the highest volume is not enough for these: they leave, with no
    // processing, and the others go on at this volume.
    StopPlayback(CopyStream);
    for (size_t i = 0; i < clocks_.size(); ++i)
      if (tooLow(i) && !LeaveRun(i, CopyFailure::NoSignal, CopyFailureMessage(CopyFailure::NoSignal), false))
        return;
    TrialVolume = kHighestTrialVolume;
  }
  StopPlayback(CopyStream);
  for (Clock& clock : clocks_) {
    if (!InRun(clock)) continue;
    clock.link->Send("G", StillCurrent(run));
    if (RunEndedSince(run)) return;
  }
  // The first recording starts only once the tone is no longer heard: the
  // sound server still plays its last tens of milliseconds, which the device
  // would otherwise record at the head of the first file.
  host_.Arm(StartNextFile, kStepMs + StoppedSoundEndsInMs());
}

// Playback starts before the start-recording command; the entry leaves the
// pending list before the device answers, so the list shows what is not yet
// started.
void CopySequence::StepStartNextFile() {
  const QStringList list = host_.PendingEntries();
  const bool anyRecording =
      std::any_of(clocks_.begin(), clocks_.end(), [](const Clock& clock) { return clock.stage == Stage::Recording; });
  if (list.isEmpty() || !anyRecording) {
    host_.Arm(FinishCopy, kStepMs);
    return;
  }
  const QString entry = list.first();
  const std::uint64_t run = run_;
  // Whatever the clock still owes is settled before the word starts, so that
  // "I" leaves as the sound begins, not when the line has calmed down.
  AwaitOwedAnswersOfAll(kSettleBeforeWordMs);
  if (RunEndedSince(run)) return;
  Status(QStringLiteral("Status: Kopiere... ("), entry, QStringLiteral(")"));
  host_.ResetProgress();
  PlayFile(CopyStream, host_.DataFolder() + entry);
  trackClock_.invalidate();
  // The device's slot is used all the same, so that the following entries
  // keep their places; the user hears of it at the end.
  if (CopyStream == 0) unplayed_ << entry;
  current_ = entry;
  currentPlayed_ = CopyStream != 0;
  host_.EntryTaken();
  std::vector<bool> due(clocks_.size());
  for (size_t i = 0; i < clocks_.size(); ++i) due[i] = clocks_[i].stage == Stage::Recording;
  const std::vector<ClockLink*> asked = WriteAll('I', ClockLink::kShortTimeoutTicks, due);
  if (RunEndedSince(run)) return;
  for (size_t i = 0; i < clocks_.size(); ++i) clocks_[i].startOwed = asked[i] != nullptr;
  // A command that could not go out has no answer to wait for.
  for (size_t i = 0; i < clocks_.size(); ++i)
    if (due[i] && !asked[i] && clocks_[i].stage == Stage::Recording &&
        !LeaveRun(i, CopyFailure::StartFailed, CopyFailureMessage(CopyFailure::StartFailed), true))
      return;
  // The answers are taken while the word plays: a clock that answers late
  // must not delay the first look at the playback, or a short word's "J"
  // would leave for every clock only when that clock's wait ends.
  if (!TakeStartAnswers(false)) return;
  host_.Arm(TrackPlayback, kPollMs);
}

void CopySequence::StepTrackPlayback() {
  if (!TakeStartAnswers(false)) return;
  // Another program's sound on the sink would be recorded with the word.
  const QString other = OtherProgramOnSink(CopyStream);
  if (other.isEmpty() && IsPlaying(CopyStream)) {
    const std::uint64_t position = StreamPosition(CopyStream);
    const std::uint64_t length = StreamLength(CopyStream);
    host_.Progress(position, length);
    host_.Arm(TrackPlayback, NextLookMs(position, length));
    return;
  }
  const CutCause cause = StreamCutCause(CopyStream);
  const bool cut = cause != CutCause::None || EndedEarly(CopyStream) || !other.isEmpty();
  host_.ResetProgress();
  StopPlayback(CopyStream);
  const std::uint64_t run = run_;
  // A clock's "J" follows its own "I" answer. The clocks whose answer is in
  // stop at once; only then is a late clock's answer waited for, so its wait
  // delays no other clock's end of recording.
  std::vector<bool> recording(clocks_.size(), false);
  std::vector<ClockLink*> stops(clocks_.size(), nullptr);
  for (const bool late : {false, true}) {
    if (!TakeStartAnswers(late)) return;
    std::vector<bool> due(clocks_.size());
    for (size_t i = 0; i < clocks_.size(); ++i)
      due[i] = clocks_[i].stage == Stage::Recording && !clocks_[i].startOwed && !recording[i];
    const std::vector<ClockLink*> written = WriteAll('J', ClockLink::kShortTimeoutTicks, due);
    if (RunEndedSince(run)) return;
    for (size_t i = 0; i < clocks_.size(); ++i) {
      if (!due[i]) continue;
      recording[i] = true;
      stops[i] = written[i];
    }
  }
  ClockLink::CollectAll(stops);
  if (RunEndedSince(run)) return;
  std::vector<int32_t> verdicts(clocks_.size(), -1);
  for (size_t i = 0; i < clocks_.size(); ++i)
    if (stops[i]) verdicts[i] = stops[i]->TakeResult(false);
  for (size_t i = 0; i < clocks_.size(); ++i)
    if (recording[i] && InRun(clocks_[i])) host_.ClockRecorded(i, current_, currentPlayed_ && !cut, verdicts[i]);
  if (cut) {
    EndCutStream(cause, other);
    return;
  }
  // A clock that did not stop its recording takes no further entry; what it
  // has recorded is still processed, with the others.
  for (size_t i = 0; i < clocks_.size(); ++i) {
    if (!recording[i] || clocks_[i].stage != Stage::Recording || verdicts[i] == 0) continue;
    clocks_[i].stage = Stage::Stopped;
    host_.ClockMessage(i, CopyFailure::StopFailed, CopyFailureMessage(CopyFailure::StopFailed));
    if (RunEndedSince(run)) return;
  }
  const bool anyRecording =
      std::any_of(clocks_.begin(), clocks_.end(), [](const Clock& clock) { return clock.stage == Stage::Recording; });
  host_.Arm(anyRecording ? StartNextFile : FinishCopy, kAfterRecordingMs);
}

// "J" is to leave as the word ends: the stream's position, held against the
// time it took to get there, tells when that is, and the last look before the
// end is timed to it instead of falling up to a poll interval late.
int CopySequence::NextLookMs(std::uint64_t position, std::uint64_t length) {
  if (!trackClock_.isValid() || position < trackFirstPosition_) {
    trackClock_.start();
    trackFirstPosition_ = position;
    predictedEndMs_ = -1;
    return kPollMs;
  }
  const qint64 now = trackClock_.elapsed();
  // Near the end the reported position stands still until the server has
  // played the word out: the end foreseen from the rate so far is kept, and
  // once it has come the word is looked at every few ms.
  if (predictedEndMs_ < 0) {
    const std::uint64_t moved = position - trackFirstPosition_;
    if (now < kPollMs || moved == 0) return kPollMs;
    const double bytesPerMs = static_cast<double>(moved) / static_cast<double>(now);
    const double leftMs = static_cast<double>(length - position) / bytesPerMs;
    if (leftMs >= 2 * kPollMs) return kPollMs;
    predictedEndMs_ = now + static_cast<qint64>(leftMs);
  }
  return static_cast<int>(std::clamp<qint64>(predictedEndMs_ - now, kEndLookMs, kPollMs));
}

// A stream cut by a lost sound output, or with a gap where the sound ran dry,
// is not a played file: the device has closed the incomplete recording, and
// the run is given up, naming the entry, so that no damaged word is kept
// without the user knowing.
void CopySequence::EndCutStream(CutCause cause, const QString& otherProgram) {
  const QString lost = QStringLiteral("; die Aufnahme ist unvollständig. Die Übertragung wurde abgebrochen.");
  QString text;
  if (!otherProgram.isEmpty()) {
    text = QStringLiteral("Während der Wiedergabe von %1 hat ein anderes Programm (%2) Ton ausgegeben; die "
                          "Aufnahme enthält ihn. Die Übertragung wurde abgebrochen.")
               .arg(current_, otherProgram);
  } else if (cause == CutCause::Switched) {
    text = QStringLiteral("Die Audioausgabe wurde während der Wiedergabe von %1 umgeschaltet").arg(current_) + lost;
  } else if (cause == CutCause::ServerSilent) {
    text = QStringLiteral("Der Tonserver antwortet nicht mehr (während der Wiedergabe von %1)").arg(current_) + lost;
  } else if (cause == CutCause::Stopped) {
    text = QStringLiteral("Die Tonausgabe wurde während der Wiedergabe von %1 angehalten").arg(current_) + lost;
  } else if (cause == CutCause::Muted) {
    text = QStringLiteral("Die Tonausgabe wurde während der Wiedergabe von %1 stummgeschaltet").arg(current_) + lost;
  } else {
    text = CopyFailureMessage(CopyFailure::SoundCut).arg(current_);
  }
  AbortCopy(CopyFailure::SoundCut, text);
}

void CopySequence::StepFinishCopy() {
  Status(QStringLiteral("Status: Verarbeitung... (dauert ca. 2 Minuten)"));
  const std::uint64_t run = run_;
  AwaitOwedAnswersOfAll(kSettleBeforeWordMs);
  if (RunEndedSince(run)) return;
  for (Clock& clock : clocks_) {
    if (!InRun(clock)) continue;
    clock.link->Send("H", StillCurrent(run));
    if (RunEndedSince(run)) return;
  }
  // Without serving events: nothing may come between the two commands.
  std::this_thread::sleep_for(std::chrono::milliseconds(kProcessingPauseMs));
  // Each clock's verdict waits its own three minutes, side by side.
  const std::vector<int32_t> verdicts = AskAll('K', ClockLink::kProcessingTimeoutTicks, false, Stage::Stopped);
  if (RunEndedSince(run)) return;
  for (size_t i = 0; i < clocks_.size(); ++i)
    if (InRun(clocks_[i]) && verdicts[i] != 0 &&
        !LeaveRun(i, CopyFailure::ProcessingFailed, CopyFailureMessage(CopyFailure::ProcessingFailed), true))
      return;
  if (!unplayed_.isEmpty()) {
    QStringList lines = unplayed_;
    for (QString& line : lines)
      if (line.isEmpty()) line = QStringLiteral("(leere Zeile)");
    host_.Message(CopyFailure::Unplayable, CopyFailureMessage(CopyFailure::Unplayable) + QLatin1Char('\n') +
                                               lines.join(QLatin1Char('\n')));
    if (RunEndedSince(run)) return;
  }
  Status(QStringLiteral("Status: Übertragung erfolgreich!"));
  host_.Holding(false);
  host_.Disarm();
  for (Clock& clock : clocks_) {
    if (!InRun(clock)) continue;
    clock.link->Send("{");
    if (RunEndedSince(run)) return;
  }
  PutBackUsersLevel();
  host_.Succeeded();
}

// ------------------------------------------------------------------ the ends

// A query of this run that still waits (the verdict waits up to three
// minutes) is let go: the next run, or another window, finds the channel free.
void CopySequence::EndRun() {
  ++run_;
  runOpen_ = false;
  host_.Holding(false);
  for (Clock& clock : clocks_) clock.link->ReleaseWait();
  host_.Disarm();
  Status(QStringLiteral("Status:"));
}

void CopySequence::Status(const QString& text, const QString& path, const QString& tail) {
  host_.Status(text, path, tail);
}

void CopySequence::AbortCopy(CopyFailure failure, const QString& message) {
  const std::uint64_t run = run_;
  Status(QStringLiteral("Status: Fehler."));
  host_.Message(failure, message.isEmpty() ? CopyFailureMessage(failure) : message);
  if (RunEndedSince(run)) return;
  std::vector<ClockLink*> inRun;
  for (Clock& clock : clocks_)
    if (InRun(clock)) inRun.push_back(clock.link);
  EndRun();
  for (ClockLink* link : inRun) {
    link->Send("H");
    link->Send("{");
  }
  PutBackUsersLevel();
  host_.Close();
}

// A run that has ended already (or never started) still leaves service mode
// on every clock, as the dialog's buttons always have.
void CopySequence::StopRun() {
  StopPlayback(CopyStream);
  std::vector<ClockLink*> inRun;
  for (Clock& clock : clocks_)
    if (!runOpen_ || InRun(clock)) inRun.push_back(clock.link);
  EndRun();
  for (ClockLink* link : inRun) link->Send("{");
  PutBackUsersLevel();
}

// Without serving events in the pauses: nothing of a run that has ended may
// come between its end steps.
bool CopySequence::PutBackUsersLevel(bool quiet) {
  if (!saved_) return true;
  for (int attempt = 1;; ++attempt) {
    if (RestoreOutputVolume(saved_->value)) return true;
    if (attempt == kRestoreAttempts) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(kRestorePauseMs));
  }
  if (quiet) return false;
  QString text = CopyFailureMessage(CopyFailure::VolumeNotRestored).arg(saved_->percent);
  if (saved_->muted) text += QStringLiteral(" Die Audioausgabe war stummgeschaltet.");
  host_.Message(CopyFailure::VolumeNotRestored, text);
  return false;
}
