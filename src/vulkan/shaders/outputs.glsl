// The colour outputs of a fragment shader: COLOR_OUTPUTS, set when the shader is compiled, is the
// number of colour attachments written, all with one colour by writeColor.

#if COLOR_OUTPUTS > 0
layout(location = 0) out vec4 color0;
#endif
#if COLOR_OUTPUTS > 1
layout(location = 1) out vec4 color1;
#endif
#if COLOR_OUTPUTS > 2
layout(location = 2) out vec4 color2;
#endif
#if COLOR_OUTPUTS > 3
layout(location = 3) out vec4 color3;
#endif
#if COLOR_OUTPUTS > 4
layout(location = 4) out vec4 color4;
#endif
#if COLOR_OUTPUTS > 5
layout(location = 5) out vec4 color5;
#endif
#if COLOR_OUTPUTS > 6
layout(location = 6) out vec4 color6;
#endif
#if COLOR_OUTPUTS > 7
layout(location = 7) out vec4 color7;
#endif

void writeColor(vec4 c) {
#if COLOR_OUTPUTS > 0
  color0 = c;
#endif
#if COLOR_OUTPUTS > 1
  color1 = c;
#endif
#if COLOR_OUTPUTS > 2
  color2 = c;
#endif
#if COLOR_OUTPUTS > 3
  color3 = c;
#endif
#if COLOR_OUTPUTS > 4
  color4 = c;
#endif
#if COLOR_OUTPUTS > 5
  color5 = c;
#endif
#if COLOR_OUTPUTS > 6
  color6 = c;
#endif
#if COLOR_OUTPUTS > 7
  color7 = c;
#endif
}
