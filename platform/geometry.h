#pragma once

namespace tillerpad::platform {

// Global desktop coordinates in points, origin at the top-left of the main
// display, y downward. On X11 a point is a pixel of the root window.
struct Point {
  double x = 0;
  double y = 0;
  friend bool operator==(const Point&, const Point&) = default;
};

struct Rect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;

  double minX() const { return x; }
  double minY() const { return y; }
  double maxX() const { return x + width; }
  double maxY() const { return y + height; }
  bool isEmpty() const { return !(width > 0) || !(height > 0); }
  // Half-open: the right and bottom edges belong to the neighbour.
  bool contains(Point p) const { return !isEmpty() && p.x >= minX() && p.x < maxX() && p.y >= minY() && p.y < maxY(); }
  friend bool operator==(const Rect&, const Rect&) = default;
};

}  // namespace tillerpad::platform
