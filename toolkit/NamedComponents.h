#pragma once

// The part of a window every toolkit writes the same way: the form finds its
// components by their names in the layout. A window built from the layout
// registers each component it makes here.

#include "Components.h"

#include <map>
#include <stdexcept>
#include <string>
#include <string_view>

namespace korvalis {

class TNamedComponents : public IFormComponents {
  public:
    IPictureControl& PictureControl(std::string_view name) override {
        return Find(FPictures, name);
    }
    IPushButton& Button(std::string_view name) override { return Find(FButtons, name); }
    IStatusPanel& StatusPanel(std::string_view name) override { return Find(FStatusPanels, name); }
    IProgressBar& ProgressBar(std::string_view name) override { return Find(FProgressBars, name); }
    IOneShotTimer& Timer(std::string_view name) override { return Find(FTimers, name); }
    IOpenDialog& OpenDialog(std::string_view name) override { return Find(FDialogs, name); }

  protected:
    template <class T> using TByName = std::map<std::string, T*, std::less<>>;

    // A name the layout does not have is a programming error, not a state.
    template <class T> static T& Find(TByName<T>& kind, std::string_view name) {
        const auto found = kind.find(name);
        if (found == kind.end())
            throw std::out_of_range("the window has no such component: " + std::string(name));
        return *found->second;
    }

    TByName<IPictureControl> FPictures;
    TByName<IPushButton> FButtons;
    TByName<IStatusPanel> FStatusPanels;
    TByName<IProgressBar> FProgressBars;
    TByName<IOneShotTimer> FTimers;
    TByName<IOpenDialog> FDialogs;
};

} // namespace korvalis
