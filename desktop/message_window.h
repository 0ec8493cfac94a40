// The message dialog drawn over the engine's model (TMessageDialog): the text
// box, "Send to all users", "Send" and "Cancel". The model makes the checks and
// the sends; its error boxes ("Invalid message.", "Invalid Tag") open over this
// window, which forwards everything else the model shows to the main console.
#pragma once

#include <QCheckBox>
#include <QDialog>
#include <QPlainTextEdit>
#include <QPushButton>
#include <string>

#include "console/console_model.h"
#include "engine/message_dialog.h"

namespace kelvox {

class TBouncer;

class TMessageWindow : public QDialog, private TConsole {
 public:
  /// `console` records the error boxes (its Errors()) as every other one.
  TMessageWindow(TBouncer& bouncer, TConsoleModel& console, QWidget* parent);

  /// The grid pop-up's "Message": the dialog for `tag`, shown modally.
  void Open(int tag);
  void SendClick();
  void CancelClick();

  const TMessageDialog& Model() const { return model_; }
  QPlainTextEdit* TextBox() const { return text_; }
  QCheckBox* ToAllBox() const { return to_all_; }
  QPushButton* SendButton() const { return send_; }

 protected:
  void reject() override;

 private:
  void SetCell(int column, int row, const std::string& text) override { console_.SetCell(column, row, text); }
  void SetRowCount(int count) override { console_.SetRowCount(count); }
  void ClearRow(int row) override { console_.ClearRow(row); }
  void SetStatusText(int panel, const std::string& text) override { console_.SetStatusText(panel, text); }
  void SetUserCount(const std::string& text) override { console_.SetUserCount(text); }
  void SetTrayHint(const std::string& text) override { console_.SetTrayHint(text); }
  void EnableStartStop(bool start, bool stop) override { console_.EnableStartStop(start, stop); }
  void PlayBeep() override { console_.PlayBeep(); }
  void ShowMainWindow() override { console_.ShowMainWindow(); }
  void HideMainWindow() override { console_.HideMainWindow(); }
  bool AskOkCancel(const std::string& text, const std::string& caption) override {
    return console_.AskOkCancel(text, caption);
  }
  void SetUpdateText(const std::string& text, const std::string& link) override { console_.SetUpdateText(text, link); }
  /// A box with the caption "Error" and one OK button, over this window.
  void ShowError(const std::string& text) override;

  TConsoleModel& console_;
  TMessageDialog model_;
  QPlainTextEdit* text_ = nullptr;
  QCheckBox* to_all_ = nullptr;
  QPushButton* send_ = nullptr;
  QPushButton* cancel_ = nullptr;
};

}  // namespace kelvox
