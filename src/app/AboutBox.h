#pragma once
// The About box: name, version, licence, the settings file in use (a link
// that opens its folder) and where the program's messages go.

class QWidget;

namespace dravane::app {

// Modal over `parent`; returns when the operator closes it.
void ShowAboutBox(QWidget* parent);

} // namespace dravane::app
