#include "ui/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolButton>
#include <QUrl>

#include "app/app_state.h"
#include "app/application.h"
#include "ui/config_editor.h"
#include "ui/help_window.h"
#include "ui/press_label.h"
#include "ui/tray_holder.h"
#include "ui/window_status.h"
#include "util/encoding.h"

namespace kestrum {
namespace {

const QColor kFieldText(0x10, 0x3c, 0xd8);  // blue on white

QLineEdit* makeField(QWidget* parent, const char* name, QRect geometry, bool editable) {
    auto* field = new QLineEdit(parent);
    field->setObjectName(name);
    field->setGeometry(geometry);
    field->setReadOnly(!editable);
    field->setFocusPolicy(editable ? Qt::StrongFocus : Qt::ClickFocus);
    QPalette palette = field->palette();
    palette.setColor(QPalette::Text, kFieldText);
    palette.setColor(QPalette::Base, Qt::white);
    field->setPalette(palette);
    QFont font = field->font();
    font.setPointSizeF(8.5);
    field->setFont(font);
    field->setStyleSheet(QString("QLineEdit { color: %1; background: white; border: 1px solid %2; "
                                 "border-radius: 3px; padding: 0 3px; }")
                             .arg(kFieldText.name(), editable ? "#94a3b8" : "#d5dde8"));
    return field;
}

QLabel* makeMark(QWidget* parent, const char* name, QRect geometry) {
    auto* mark = new QLabel(QString::fromUtf8("×"), parent);
    mark->setObjectName(name);
    mark->setGeometry(geometry);
    mark->setAlignment(Qt::AlignCenter);
    mark->setToolTip(QString::fromUtf8("off"));
    mark->setStyleSheet(
        "QLabel { color: white; background: #dc2626; border-radius: 8px; font-weight: bold; }");
    return mark;
}

QToolButton* makeButton(QWidget* parent, const char* name, QPoint at, ButtonIcon icon, const QString& tip) {
    auto* button = new QToolButton(parent);
    button->setObjectName(name);
    button->setGeometry(at.x(), at.y(), 15, 15);
    button->setIcon(buttonIcon(icon));
    button->setIconSize(QSize(15, 15));
    button->setAutoRaise(true);
    button->setCursor(Qt::PointingHandCursor);
    button->setToolTip(tip);
    button->setStyleSheet(
        "QToolButton { border: none; padding: 0; background: transparent; }"
        "QToolButton:hover { background: rgba(37, 99, 235, 40); border-radius: 3px; }");
    return button;
}

PressLabel* makeLink(QWidget* parent, const char* name, const QString& text, QRect geometry) {
    auto* link = new PressLabel(text, parent);
    link->setObjectName(name);
    link->setGeometry(geometry);
    link->setCursor(Qt::PointingHandCursor);
    link->setStyleSheet(
        "QLabel { color: #1d4ed8; text-decoration: underline; }"
        "QLabel:hover { color: #1e40af; }");
    return link;
}

// Internal encoding of what the user typed.
std::string internalText(const QString& text) {
    return utf16ToText(text.toStdU16String(), CodePage::Gbk);
}

}  // namespace

MainWindow::MainWindow(Application& app, WindowStatus& status, Options options)
    : app_(app), status_(status), options_(std::move(options)) {
    setObjectName("mainWindow");
    setWindowTitle(QString::fromUtf8("kestrum："));
    setWindowIcon(programIcon());
    setFixedSize(849, 527);
    move(50, 50);
    tray_ = new TrayHolder(options_.trayAvailable.value_or(QSystemTrayIcon::isSystemTrayAvailable()), this);
    connect(tray_, &TrayHolder::restoreRequested, this, &MainWindow::restoreFromTray);
    buildControls();
    status_.attach(this);
}

MainWindow::~MainWindow() {
    status_.detach();
    runShutdown();
    // The other windows are top-level windows of their own; they go with this one.
    delete notices_.current();
    closeOtherWindows(false);
    delete editor_.data();
    delete help_.data();
}

ConfigEditor* MainWindow::editor() const {
    return editor_.data();
}

HelpWindow* MainWindow::helpWindow() const {
    return help_.data();
}

QString MainWindow::runDir() const {
    return QString::fromStdString(app_.state().runDir);
}

void MainWindow::buildControls() {
    auto* background = new QLabel(this);
    background->setObjectName("background");
    background->setGeometry(0, 0, width(), height());
    background->setPixmap(backgroundPicture(size()));

    const struct {
        StatusField field;
        const char* name;
        QRect geometry;
    } fields[] = {
        {StatusField::Http, "httpField", {130, 151, 192, 16}},
        {StatusField::Https, "httpsField", {130, 179, 184, 16}},
        {StatusField::Heartbeat, "heartbeatField", {130, 207, 184, 16}},
        {StatusField::MysqlPool, "mysqlPoolField", {730, 60, 57, 24}},
        {StatusField::MysqlUrl, "mysqlUrlField", {711, 101, 108, 16}},
        {StatusField::RedisUrl, "redisUrlField", {715, 232, 101, 16}},
        {StatusField::TaskCount, "taskCountField", {701, 407, 48, 16}},
    };
    for (const auto& item : fields)
        fields_[static_cast<size_t>(item.field)] = makeField(this, item.name, item.geometry, false);
    field(StatusField::MysqlPool)->setAlignment(Qt::AlignCenter);
    field(StatusField::TaskCount)->setAlignment(Qt::AlignCenter);
    taskName_ = makeField(this, "taskNameField", {701, 449, 68, 16}, true);
    taskName_->setPlaceholderText(QString::fromUtf8("任务名"));
    connect(taskName_, &QLineEdit::returnPressed, this, &MainWindow::addTask);

    marks_[static_cast<size_t>(ModuleMark::Mysql)] = makeMark(this, "mysqlMark", {404, 143, 20, 16});
    marks_[static_cast<size_t>(ModuleMark::Redis)] = makeMark(this, "redisMark", {482, 219, 16, 16});
    marks_[static_cast<size_t>(ModuleMark::Cron)] = makeMark(this, "cronMark", {445, 401, 16, 16});

    auto editorOn = [this](const char* relative) {
        return [this, relative] { openEditor(runDir() + "/" + relative); };
    };
    auto shellOn = [this](const char* relative) {
        return [this, relative] { openInShell(runDir() + "/" + relative); };
    };
    connect(makeButton(this, "mysqlConfigButton", {690, 21}, ButtonIcon::Config, "mod/mysql/config.ini"),
            &QToolButton::clicked, this, editorOn("mod/mysql/config.ini"));
    connect(makeButton(this, "redisConfigButton", {711, 180}, ButtonIcon::Config, "mod/redis/config.ini"),
            &QToolButton::clicked, this, editorOn("mod/redis/config.ini"));
    connect(makeButton(this, "cronConfigButton", {701, 325}, ButtonIcon::Config, "mod/crontab/config.ini"),
            &QToolButton::clicked, this, editorOn("mod/crontab/config.ini"));
    connect(makeButton(this, "taskFolderButton", {701, 369}, ButtonIcon::Folder, "mod/crontab/tasks"),
            &QToolButton::clicked, this, shellOn("mod/crontab/tasks"));
    connect(makeButton(this, "addTaskButton", {775, 455}, ButtonIcon::Add, QString::fromUtf8("添加任务")),
            &QToolButton::clicked, this, &MainWindow::addTask);
    connect(
        makeButton(this, "deleteTaskButton", {797, 455}, ButtonIcon::Delete, QString::fromUtf8("删除任务")),
        &QToolButton::clicked, this, &MainWindow::deleteTask);
    connect(makeButton(this, "logFolderButton", {259, 422}, ButtonIcon::LogFolder, "log"),
            &QToolButton::clicked, this, shellOn("log"));

    connect(makeLink(this, "configLink", "config.ini", {177, 388, 72, 24}), &PressLabel::pressed, this,
            editorOn("config.ini"));
    connect(makeLink(this, "logLink", "log", {177, 416, 64, 24}), &PressLabel::pressed, this, [this] {
        // The run's log file as it is named while the program runs.
        const std::string path = app_.state().log.filePath();
        if (!path.empty())
            openInShell(QString::fromStdString(path));
    });
    connect(makeLink(this, "helpLink", "help", {177, 444, 64, 24}), &PressLabel::pressed, this,
            &MainWindow::openHelp);
}

void MainWindow::showText(StatusField which, const QString& text) {
    QLineEdit* target = field(which);
    target->setText(text);
    target->setCursorPosition(0);
    target->setToolTip(text);
}

void MainWindow::showMark(ModuleMark which, bool visible) {
    mark(which)->setVisible(visible);
}

void MainWindow::openEditor(const QString& path) {
    if (editor_) {
        showNotice(QString::fromUtf8("请先关闭当前编辑的文件！"), {}, NoticePicture::Failure);
        return;
    }
    app_.setEditedFile(path.toStdString());
    editor_ = new ConfigEditor(path);
    editor_->show();
}

void MainWindow::openHelp() {
    if (help_) {
        help_->showNormal();
        help_->raise();
        help_->activateWindow();
        return;
    }
    help_ = new HelpWindow(runDir());
    help_->show();
}

void MainWindow::showNotice(const QString& text, const QString& title, NoticePicture picture) {
    notices_.show(text, title, picture, this);
}

void MainWindow::openInShell(const QString& path) {
    QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

void MainWindow::addTask() {
    if (app_.addTaskFile(internalText(taskName_->text()))) {
        taskName_->clear();
        showNotice(QString::fromUtf8("添加成功！"));
    } else {
        showNotice(QString::fromUtf8("添加失败！"), {}, NoticePicture::Failure);
    }
}

void MainWindow::deleteTask() {
    if (app_.deleteTask(internalText(taskName_->text()))) {
        taskName_->clear();
        showNotice(QString::fromUtf8("删除成功！"));
    } else {
        showNotice(QString::fromUtf8("删除失败！"), {}, NoticePicture::Failure);
    }
}

void MainWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (started_ || shutDown_)
        return;
    started_ = true;
    startup_ = std::thread([this] {
        if (!app_.startup() && options_.startupFailed)
            options_.startupFailed();
    });
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (!forced_) {
        QMessageBox question(QMessageBox::Question, "sure?", QString::fromUtf8("exit，please!"),
                             QMessageBox::Ok | QMessageBox::Cancel, this);
        question.setObjectName("closeQuestion");
        closeQuestion_ = &question;
        const int answer = question.exec();
        closeQuestion_.clear();
        if (answer != QMessageBox::Ok && !forced_) {
            event->ignore();
            return;
        }
    }
    closeOtherWindows(!forced_);
    if (!forced_ && editor_ && editor_->isVisible()) {
        // The editor could not save and stayed open with its edits: the program keeps running.
        event->ignore();
        return;
    }
    event->accept();
    runShutdown();
    emit finished();
}

void MainWindow::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange || !isMinimized() || !tray_->available())
        return;
    tray_->place();
    // Hidden once the state change is complete; it stays minimized until the tray icon brings it back.
    QTimer::singleShot(0, this, [this] {
        if (isMinimized())
            hide();
    });
}

void MainWindow::restoreFromTray() {
    setWindowState(windowState() & ~Qt::WindowMinimized);
    showNormal();
    if (QScreen* shown = screen() != nullptr ? screen() : QGuiApplication::primaryScreen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(shown->availableGeometry().center());
        move(frame.topLeft());
    }
    raise();
    activateWindow();
}

void MainWindow::shutDownNow() {
    if (shutDown_)
        return;
    forced_ = true;
    // A question box that is open now answers Cancel; the code that opened it then sees forced_.
    if (closeQuestion_)
        closeQuestion_->reject();
    for (QWidget* modal = QApplication::activeModalWidget(); modal != nullptr;) {
        modal->close();
        QWidget* next = QApplication::activeModalWidget();
        modal = next == modal ? nullptr : next;
    }
    // The nested loops of the boxes end first; then the window closes.
    QTimer::singleShot(0, this, [this] {
        if (!shutDown_)
            close();
    });
}

void MainWindow::closeOtherWindows(bool ask) {
    notices_.close();
    if (help_)
        help_->close();
    if (editor_) {
        if (ask)
            editor_->close();
        else
            editor_->closeWithoutQuestion();
    }
}

void MainWindow::runShutdown() {
    if (shutDown_)
        return;
    shutDown_ = true;
    app_.requestStop();
    if (startup_.joinable())
        startup_.join();
    if (started_)
        app_.shutdown();
}

}  // namespace kestrum
