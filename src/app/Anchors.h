#pragma once
// Keeps a child's distances to the chosen edges of its parent as the parent is resized,
// like the anchors of a fixed-geometry form.

#include <Qt>
#include <QWidget>

namespace norvane {

// Anchors the widget to the given edges of its parent, as it is placed now.
void anchor(QWidget* widget, Qt::Edges edges);

}  // namespace norvane
