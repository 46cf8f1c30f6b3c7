#include "ui/config_editor.h"

#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSyntaxHighlighter>
#include <QVBoxLayout>

#include "ui/artwork.h"
#include "util/encoding.h"

namespace kestrum {
namespace {

const char kUtf8Mark[] = "\xEF\xBB\xBF";

// Sections, keys and comments of an INI file in colour.
class IniHighlighter : public QSyntaxHighlighter {
  public:
    using QSyntaxHighlighter::QSyntaxHighlighter;

  protected:
    void highlightBlock(const QString& text) override {
        const qsizetype start = text.indexOf(QRegularExpression("\\S"));
        if (start < 0)
            return;
        if (text.at(start) == ';' || text.at(start) == '#') {
            setFormat(0, int(text.size()), colour(0x64, 0x74, 0x8b, false, true));
        } else if (text.at(start) == '[') {
            setFormat(0, int(text.size()), colour(0x7c, 0x3a, 0xed, true, false));
        } else if (const qsizetype equals = text.indexOf('='); equals > 0) {
            setFormat(0, int(equals), colour(0x04, 0x78, 0x57, false, false));
            setFormat(int(equals), 1, colour(0x94, 0xa3, 0xb8, false, false));
        }
    }

  private:
    static QTextCharFormat colour(int r, int g, int b, bool bold, bool italic) {
        QTextCharFormat format;
        format.setForeground(QColor(r, g, b));
        format.setFontWeight(bold ? QFont::Bold : QFont::Normal);
        format.setFontItalic(italic);
        return format;
    }
};

}  // namespace

ConfigText loadConfigText(const QString& path) {
    ConfigText result;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return result;
    result.existed = true;
    const QByteArray bytes = file.readAll();
    std::string_view view(bytes.constData(), static_cast<size_t>(bytes.size()));
    if (view.substr(0, 3) == kUtf8Mark) {
        result.encoding = TextEncoding::Utf8WithMark;
        view.remove_prefix(3);
    }
    if (!isValidUtf8(view))
        result.encoding = TextEncoding::Gb18030;
    const std::u16string utf16 =
        textToUtf16(view, result.encoding == TextEncoding::Gb18030 ? CodePage::Gbk : CodePage::Utf8);
    QString text = QString::fromStdU16String(utf16);
    const qsizetype firstBreak = text.indexOf('\n');
    result.crlf = firstBreak > 0 && text.at(firstBreak - 1) == '\r';
    text.replace("\r\n", "\n");
    result.text = text;
    return result;
}

bool saveConfigText(const QString& path, const QString& text, TextEncoding encoding, bool crlf,
                    QString& error) {
    QString content = text;
    if (crlf) {
        content.replace("\r\n", "\n");
        content.replace("\n", "\r\n");
    }
    const std::u16string utf16 = content.toStdU16String();
    std::string bytes;
    switch (encoding) {
        case TextEncoding::Utf8WithMark:
            bytes = kUtf8Mark;
            [[fallthrough]];
        case TextEncoding::Utf8:
            bytes += utf16ToText(utf16, CodePage::Utf8);
            break;
        case TextEncoding::Gb18030:
            bytes = utf16ToText(utf16, CodePage::Gbk);
            break;
    }
    const QFileInfo info(path);
    if (!QDir().mkpath(info.absolutePath())) {
        error = QString::fromUtf8("无法创建文件夹 ") + info.absolutePath();
        return false;
    }
    // QSaveFile writes a temporary file in the same folder, syncs it and renames it over the old file.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        error = file.errorString();
        return false;
    }
    if (file.write(bytes.data(), static_cast<qint64>(bytes.size())) != static_cast<qint64>(bytes.size())) {
        error = file.errorString();
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) {
        error = file.errorString();
        return false;
    }
    return true;
}

ConfigEditor::ConfigEditor(const QString& path, QWidget* parent) : QWidget(parent, Qt::Window), path_(path) {
    setAttribute(Qt::WA_DeleteOnClose);
    setObjectName("configEditor");
    setWindowTitle("config.ini");
    setWindowIcon(programIcon());
    resize(763, 638);

    field_ = new QPlainTextEdit(this);
    field_->setObjectName("configText");
    field_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    field_->setLineWrapMode(QPlainTextEdit::NoWrap);
    field_->setToolTip(path);
    field_->document()->setDocumentMargin(10);
    field_->setStyleSheet(
        "QPlainTextEdit { background: #fbfcfe; color: #1e293b; border: none; "
        "selection-background-color: #c7d2fe; selection-color: #1e293b; }");
    new IniHighlighter(field_->document());
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(field_);

    loaded_ = loadConfigText(path);
    field_->setPlainText(loaded_.text);
}

void ConfigEditor::closeWithoutQuestion() {
    asked_ = true;
    close();
}

void ConfigEditor::closeEvent(QCloseEvent* event) {
    if (asked_) {
        event->accept();
        return;
    }
    QMessageBox question(QMessageBox::Question, QString::fromUtf8("信息："),
                         QString::fromUtf8("是否保存修改？"), QMessageBox::Ok | QMessageBox::Cancel, this);
    question.setObjectName("saveQuestion");
    if (question.exec() == QMessageBox::Ok) {
        QString error;
        if (!saveConfigText(path_, field_->toPlainText(), loaded_.encoding, loaded_.crlf, error)) {
            // The edits stay in the open editor: nothing is lost, the user can try again or copy them.
            QMessageBox failed(QMessageBox::Warning, QString::fromUtf8("信息："),
                               QString::fromUtf8("保存失败！") + "\n" + path_ + "\n" + error, QMessageBox::Ok,
                               this);
            failed.setObjectName("saveFailed");
            failed.exec();
            event->ignore();
            return;
        }
        QMessageBox saved(QMessageBox::Information, QString::fromUtf8("信息："),
                          QString::fromUtf8("已保存，重启后生效！"), QMessageBox::Ok, this);
        saved.setObjectName("savedNotice");
        saved.exec();
    }
    asked_ = true;
    event->accept();
}

}  // namespace kestrum
