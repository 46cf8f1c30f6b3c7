// The window's pictures, drawn with QPainter when first asked for: the background mind map, the notice
// pictures, the button and help-entry icons and the program icon. No picture file is read at run time.
#pragma once

#include <QIcon>
#include <QPixmap>
#include <QSize>

namespace kestrum {

enum class NoticePicture { Success, Failure };
enum class ButtonIcon { Config, Folder, LogFolder, Add, Delete };
enum class HelpIcon { System, Mysql, Redis, Crontab, Browser };

// The main window's diagram: the centre node "kestrum" and the branches http, options, mysql, redis and
// crontab with their labels, laid out around the controls that sit on top of it.
QPixmap backgroundPicture(QSize size);
// 492 x 211: a light street-map sketch with a small face on the right, cheerful or worried.
QPixmap noticePicture(NoticePicture kind);
QIcon buttonIcon(ButtonIcon kind);
QPixmap helpIcon(HelpIcon kind, int size);
// The program's icon, in sizes from 16 to 128 pixels (window and tray).
QIcon programIcon();

}  // namespace kestrum
