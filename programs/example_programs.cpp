#include "example_programs.h"

#include <QDir>
#include <QFileInfo>

namespace quillmar {

QString examples_folder(const QString& program_folder) {
    const QString folder =
        QDir::cleanPath(program_folder + QStringLiteral("/../share/quillmar/examples"));
    return QFileInfo(folder).isDir() ? folder : QString();
}

}  // namespace quillmar
