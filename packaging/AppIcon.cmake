# The application icon: one SVG, rasterised at the icon theme's sizes. The
# same pictures are the window icon (compiled in as a resource, so the viewer
# never looks for them on disk) and the installed hicolor icons.
set(TAVROLEN_ICON_SIZES 16 22 24 32 48 64 128 256)
set(TAVROLEN_ICON_SVG ${PROJECT_SOURCE_DIR}/packaging/${TAVROLEN_APP_ID}.svg)
set(TAVROLEN_ICON_DIR ${PROJECT_BINARY_DIR}/icons)

function(tavrolen_add_app_icon target)
  find_program(TAVROLEN_RSVG_CONVERT rsvg-convert REQUIRED)
  set(pngs)
  foreach(size IN LISTS TAVROLEN_ICON_SIZES)
    set(png ${TAVROLEN_ICON_DIR}/${size}.png)
    add_custom_command(OUTPUT ${png}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${TAVROLEN_ICON_DIR}
      COMMAND ${TAVROLEN_RSVG_CONVERT} -w ${size} -h ${size} -o ${png} ${TAVROLEN_ICON_SVG}
      DEPENDS ${TAVROLEN_ICON_SVG}
      COMMENT "Application icon ${size}x${size}" VERBATIM)
    set_source_files_properties(${png} PROPERTIES QT_RESOURCE_ALIAS ${size}.png)
    list(APPEND pngs ${png})
  endforeach()
  qt_add_resources(${target} tavrolen_app_icon PREFIX /app-icon FILES ${pngs})
  add_custom_target(tavrolen_app_icons DEPENDS ${pngs})
endfunction()
