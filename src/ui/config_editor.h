// The configuration editor: one window, titled "config.ini" whatever the file, with the whole file in an
// editable text field. Closing asks "是否保存修改？"; OK writes the file back, Cancel drops the edits.
//
// A file is written back in the encoding it was read in (UTF-8, with its byte-order mark when it had one, or
// the internal GB18030) and with its line endings; a new file is UTF-8. The new content goes to a temporary
// file beside the old one that then replaces it in one rename, so a crash leaves either the old or the new
// file, never a half-written one.
#pragma once

#include <QString>
#include <QWidget>
#include <string>

class QPlainTextEdit;

namespace kestrum {

enum class TextEncoding { Utf8, Utf8WithMark, Gb18030 };

struct ConfigText {
    QString text;  // line breaks as "\n"
    TextEncoding encoding = TextEncoding::Utf8;
    bool crlf = false;     // the file's lines end with CR LF
    bool existed = false;  // false: the file is missing (an empty text)
};

// Reads a whole file: valid UTF-8 is taken as UTF-8, anything else as GB18030.
ConfigText loadConfigText(const QString& path);
// Encodes `text` as `encoding` (and `crlf`) and replaces the file atomically; missing folders are created.
// False with `error` set when it could not be written; the old file is then untouched.
bool saveConfigText(const QString& path, const QString& text, TextEncoding encoding, bool crlf,
                    QString& error);

class ConfigEditor : public QWidget {
    Q_OBJECT
  public:
    explicit ConfigEditor(const QString& path, QWidget* parent = nullptr);

    const QString& path() const { return path_; }
    QPlainTextEdit* textField() const { return field_; }
    // Closes without the save question (edits are dropped): the program is ending on a signal.
    void closeWithoutQuestion();

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    QString path_;
    ConfigText loaded_;
    QPlainTextEdit* field_;
    bool asked_ = false;
};

}  // namespace kestrum
