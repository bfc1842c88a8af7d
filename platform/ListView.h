// The host's list-view row: a caption and its sub-item texts, filled by the
// item classes' ChangeListViewItem.
#pragma once

#include <string>
#include <vector>

struct TListItem {
  std::string Caption;
  std::vector<std::string> SubItems;
  int ImageIndex = -1;
};
