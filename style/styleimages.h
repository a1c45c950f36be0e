#ifndef KELTO_STYLE_STYLEIMAGES_H
#define KELTO_STYLE_STYLEIMAGES_H

// Resource paths of the images the style paints with. They are written
// without a slash after the colon; Qt resolves them to the same entries as
// ":/res/images/...".
namespace kelto::styleimages {

inline constexpr const char *titleCapLeft = ":res/images/title_cap_left.png";
inline constexpr const char *titleStretch = ":res/images/title_stretch.png";
inline constexpr const char *titleCapRight = ":res/images/title_cap_right.png";

inline constexpr const char *frameTopLeft = ":res/images/groupframe_topleft.png";
inline constexpr const char *frameTopRight = ":res/images/groupframe_topright.png";
inline constexpr const char *frameBottomLeft = ":res/images/groupframe_bottom_left.png";
inline constexpr const char *frameBottomRight = ":res/images/groupframe_bottom_right.png";
inline constexpr const char *frameTop = ":res/images/groupframe_top_stretch.png";
inline constexpr const char *frameBottom = ":res/images/groupframe_bottom_stretch.png";
inline constexpr const char *frameLeft = ":res/images/groupframe_left_stretch.png";
inline constexpr const char *frameRight = ":res/images/groupframe_right_stretch.png";

inline constexpr const char *buttonCapLeft = ":res/images/button_normal_cap_left.png";
inline constexpr const char *buttonStretch = ":res/images/button_normal_stretch.png";
inline constexpr const char *buttonCapRight = ":res/images/button_normal_cap_right.png";
inline constexpr const char *pressedCapLeft = ":res/images/button_pressed_cap_left.png";
inline constexpr const char *pressedStretch = ":res/images/button_pressed_stretch.png";
inline constexpr const char *pressedCapRight = ":res/images/button_pressed_cap_right.png";

inline constexpr const char *radioOff = ":res/images/radiobutton_off.png";
inline constexpr const char *radioOn = ":res/images/radiobutton_on.png";
inline constexpr const char *radioPressed = ":res/images/radiobutton-on.png";

inline constexpr const char *sliderBar = ":res/images/slider_bar.png";
inline constexpr const char *sliderThumb = ":res/images/slider_thumb_on.png";
inline constexpr const char *sliderBarVertical = ":res/images/slider_bar_vertical.png";
inline constexpr const char *sliderThumbRed = ":res/images/slider_thumb_on_v_red.png";
inline constexpr const char *sliderThumbGreen = ":res/images/slider_thumb_on_v_green.png";
inline constexpr const char *sliderThumbBlue = ":res/images/slider_thumb_on_v_blue.png";

} // namespace kelto::styleimages

#endif
