#include "ui/platform/file_filter.h"

#include <QRegularExpression>

std::vector<FileFilter> ParseFileFilter(const QString& filter) {
  std::vector<FileFilter> out;
  const QStringList fields = filter.split(QLatin1Char('|'));
  for (qsizetype i = 0; i + 1 < fields.size(); i += 2) {
    const QString& description = fields[i];
    if (description.isEmpty()) break;
    QStringList patterns;
    for (const QString& p : fields[i + 1].split(QLatin1Char(';'))) {
      QString t = p.trimmed();
      if (!t.isEmpty()) patterns << t;
    }
    if (patterns.isEmpty()) continue;
    out.push_back({description, patterns});
  }
  return out;
}

QString ToQtFileFilter(const std::vector<FileFilter>& filters) {
  QStringList parts;
  for (const FileFilter& f : filters) {
    QString label = f.description;
    // Qt reads the patterns from the last parenthesis of the label; give it ours.
    static const QRegularExpression trailing(QStringLiteral("\\s*\\([^()]*\\)\\s*$"));
    label.remove(trailing);
    QStringList patterns;
    for (const QString& p : f.patterns) patterns << (p == QLatin1String("*.*") ? QStringLiteral("*") : p);
    parts << QStringLiteral("%1 (%2)").arg(label, patterns.join(QLatin1Char(' ')));
  }
  return parts.join(QStringLiteral(";;"));
}

bool MatchesFileFilter(const QString& fileName, const FileFilter& filter) {
  for (const QString& p : filter.patterns) {
    if (p == QLatin1String("*.*") || p == QLatin1String("*")) return true;
    QRegularExpression re(QRegularExpression::wildcardToRegularExpression(p),
                          QRegularExpression::CaseInsensitiveOption);
    if (re.match(fileName).hasMatch()) return true;
  }
  return false;
}
