// File-chooser filter strings in the form "Png (*.png)|*.png|All Files (*.*)|*.*||":
// pairs of a description and a ";"-separated pattern list, ended by an empty field.
#pragma once

#include <QString>
#include <QStringList>
#include <vector>

struct FileFilter {
  QString description;   // "Png (*.png)"
  QStringList patterns;  // {"*.png"}
};

// Pairs up to the first empty description; a description without patterns is dropped.
std::vector<FileFilter> ParseFileFilter(const QString& filter);

// The same filters for a Qt file dialog: "Png (*.png);;All Files (*)". "*.*" means every file.
QString ToQtFileFilter(const std::vector<FileFilter>& filters);

// Whether a file name matches one of the patterns (case-insensitive, "*.*" matches all).
bool MatchesFileFilter(const QString& fileName, const FileFilter& filter);
