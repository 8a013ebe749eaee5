#include "shell/preferences_dialog.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSpinBox>
#include <QTabWidget>
#include <QVBoxLayout>

#include "app/user_interaction.h"
#include "backup/backup_project.h"
#include "base/errors.h"
#include "platform/autostart.h"

namespace zb::shell {
namespace {

constexpr int kPreferencesHelpContext = 601;

QSpinBox* MakeSpin(const char* name, int low, int high, QWidget* parent) {
  auto* spin = new QSpinBox(parent);
  spin->setObjectName(name);
  spin->setRange(low, high);
  spin->setFixedWidth(52);
  return spin;
}

}  // namespace

TFormPreferences::TFormPreferences(const app::AppSettings& memory, Environment env, QWidget* parent)
    : QDialog(parent), base_(memory), env_(std::move(env)) {
  setObjectName("FormPreferences");
  setWindowTitle("Preferences");
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  setFixedSize(353, 294);

  pages_ = new QTabWidget(this);
  pages_->setObjectName("PageControl1");

  // General: Run and Log.
  auto* general = new QWidget;
  general->setObjectName("TabGeneral");
  auto* run_group = new QGroupBox("Run", general);
  autorun_box_ = new QCheckBox("Run  ZIP Backup when windows starts", run_group);
  autorun_box_->setObjectName("cbRun");
  minimized_box_ = new QCheckBox("Run Minimized", run_group);
  minimized_box_->setObjectName("cbMini");
  auto* run_layout = new QVBoxLayout(run_group);
  run_layout->addWidget(autorun_box_);
  run_layout->addWidget(minimized_box_);
  auto* log_group = new QGroupBox("Log", general);
  log_count_spin_ = MakeSpin("LogSpinEdit", 10, 200, log_group);
  auto* log_row = new QHBoxLayout;
  log_row->addWidget(new QLabel("When the log items exceed", log_group));
  log_row->addWidget(log_count_spin_);
  log_row->addWidget(new QLabel(",the log", log_group));
  log_row->addStretch();
  auto* log_layout = new QVBoxLayout(log_group);
  log_layout->addLayout(log_row);
  log_layout->addWidget(new QLabel("will be cleared except for the last 5 items.", log_group));
  auto* general_layout = new QVBoxLayout(general);
  general_layout->addWidget(run_group);
  general_layout->addWidget(log_group);
  general_layout->addStretch();
  pages_->addTab(general, "General");

  // Backup: archive numbering, prompt, existing archive.
  auto* backup = new QWidget;
  backup->setObjectName("TabBackup");
  pad_number_box_ = new QCheckBox("If filename suffix is number,when number width", backup);
  pad_number_box_->setObjectName("cbWidth");
  number_width_spin_ = MakeSpin("SpinEdit1", 2, 30, backup);
  auto* width_row = new QHBoxLayout;
  width_row->setSpacing(4);
  width_row->addSpacing(18);
  width_row->addWidget(new QLabel("is less than", backup));
  width_row->addWidget(number_width_spin_);
  width_row->addWidget(new QLabel(", append 0 before number", backup));
  width_row->addStretch();
  prompt_backup_box_ = new QCheckBox("Prompt before start backup a project", backup);
  prompt_backup_box_->setObjectName("cbprompt");
  auto* exists_group = new QGroupBox("When  backup, if  filename exists:", backup);
  overwrite_radio_ = new QRadioButton("Overwrite without prompt", exists_group);
  overwrite_radio_->setObjectName("rbOverwrite");
  skip_radio_ = new QRadioButton("Skip", exists_group);
  skip_radio_->setObjectName("rbSkip");
  skip_radio_->setChecked(true);
  auto* exists_layout = new QVBoxLayout(exists_group);
  exists_layout->addWidget(overwrite_radio_);
  exists_layout->addWidget(skip_radio_);
  auto* backup_layout = new QVBoxLayout(backup);
  backup_layout->addWidget(pad_number_box_);
  backup_layout->addLayout(width_row);
  backup_layout->addWidget(prompt_backup_box_);
  backup_layout->addWidget(exists_group);
  backup_layout->addStretch();
  pages_->addTab(backup, "Backup");

  auto* sync = new QWidget;
  sync->setObjectName("TabSynchronize");
  prompt_sync_box_ = new QCheckBox("Prompt before synchronize project", sync);
  prompt_sync_box_->setObjectName("cbPromptSync");
  auto* sync_layout = new QVBoxLayout(sync);
  sync_layout->addWidget(prompt_sync_box_);
  sync_layout->addStretch();
  pages_->addTab(sync, "Synchronize");

  auto* help = new QPushButton("H&elp", this);
  help->setObjectName("Button1");
  help->setAutoDefault(false);
  auto* ok = new QPushButton("&OK", this);
  ok->setObjectName("btnOk");
  ok->setAutoDefault(false);
  auto* apply = new QPushButton("&Apply", this);
  apply->setObjectName("btnApply");
  apply->setAutoDefault(false);
  // Enter means Close: a stray key press never saves settings, and changes
  // are not dropped either, because closing with changes asks.
  auto* close = new QPushButton("Clo&se", this);
  close->setObjectName("btnClose");
  close->setDefault(true);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(help);
  buttons->addStretch();
  buttons->addWidget(ok);
  buttons->addWidget(apply);
  buttons->addWidget(close);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(pages_);
  layout->addLayout(buttons);

  connect(autorun_box_, &QCheckBox::toggled, this, &TFormPreferences::OnAutorunToggled);
  connect(ok, &QPushButton::clicked, this, &TFormPreferences::OnOk);
  connect(apply, &QPushButton::clicked, this, &TFormPreferences::OnApply);
  connect(close, &QPushButton::clicked, this, &QDialog::reject);
  connect(help, &QPushButton::clicked, this, &TFormPreferences::OnHelp);

  ShowSettings(memory);
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect r = screen->geometry();
    move(r.x() + (r.width() - width()) / 2, r.y() + (r.height() - height()) / 2);
  }
}

void TFormPreferences::ShowSettings(const app::AppSettings& memory) {
  pages_->setCurrentIndex(0);
  // The three keys the dialog owns come from the file, the rest from memory.
  const app::AppSettings stored = backup::ReadAppSettings(env_.data_dir);
  autorun_box_->setChecked(stored.AutoRun);
  minimized_box_->setChecked(stored.StartMinimized);
  prompt_sync_box_->setChecked(stored.PromptSync);
  OnAutorunToggled();
  prompt_backup_box_->setChecked(memory.PromptBeforeBackup);
  pad_number_box_->setChecked(memory.AppendZero);
  number_width_spin_->setValue(memory.NumberWidth);  // QSpinBox clamps to its range
  if (memory.OverwriteExisting) overwrite_radio_->setChecked(true);
  log_count_spin_->setValue(memory.LogCount);
  applied_ = Values();
}

void TFormPreferences::OnAutorunToggled() { minimized_box_->setEnabled(autorun_box_->isChecked()); }

app::AppSettings TFormPreferences::Values() const {
  app::AppSettings s = base_;
  s.AutoRun = autorun_box_->isChecked();
  s.StartMinimized = minimized_box_->isChecked();
  s.PromptSync = prompt_sync_box_->isChecked();
  s.PromptBeforeBackup = prompt_backup_box_->isChecked();
  s.AppendZero = pad_number_box_->isChecked();
  s.NumberWidth = number_width_spin_->value();
  s.OverwriteExisting = overwrite_radio_->isChecked();
  s.LogCount = log_count_spin_->value();
  return s;
}

bool TFormPreferences::Apply() {
  app::AppSettings values = Values();
  if (values.AutoRun) {
    // Without the entry the program will not start at logon, so "Auto Run"
    // keeps what was stored; the other settings are saved all the same.
    if (!RunCommand(*env_.ui, [this] { WriteAutostartEntry(env_.executable); }))
      values.AutoRun = backup::ReadAppSettings(env_.data_dir).AutoRun;
  } else {
    // A failed removal is not reported; the entry simply stays.
    (void)RemoveAutostartEntry();
  }
  const bool saved =
      RunCommand(*env_.ui, [&] { backup::WritePreferenceKeys(env_.data_dir, values); });
  // Memory follows also when the file could not be written, so the window
  // works with what the user chose and the close-time save tries again.
  if (env_.applied) env_.applied(values);
  if (saved) applied_ = Values();
  return saved;
}

void TFormPreferences::OnOk() {
  if (Apply()) accept();
}

void TFormPreferences::OnApply() { (void)Apply(); }

void TFormPreferences::reject() {
  if (Values() != applied_) {
    Question q;
    q.text = "The preferences have changed. Do you want to save the changes?";
    q.buttons = {Button::kYes, Button::kNo, Button::kCancel};
    q.default_button = Button::kYes;
    q.escape = Button::kCancel;
    q.kind = MessageKind::kConfirmation;
    switch (env_.ui->Ask(q)) {
      case Button::kYes:
        if (Apply()) accept();
        return;
      case Button::kNo:
        break;
      default:
        return;  // stay open
    }
  }
  QDialog::reject();
}

void TFormPreferences::OnHelp() {
  if (env_.show_help) env_.show_help(kPreferencesHelpContext);
}

}  // namespace zb::shell
