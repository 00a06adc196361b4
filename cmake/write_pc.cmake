# Install-time step: writes tolvex.pc for the prefix being installed to.
# Directories relative to the prefix are written as ${prefix}/..., so the
# file stays right wherever the tree is unpacked under that prefix.
foreach(kind LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${TOLVEX_INSTALL_${kind}}")
    set(TOLVEX_PC_${kind} "${TOLVEX_INSTALL_${kind}}")
  else()
    set(TOLVEX_PC_${kind} "\${prefix}/${TOLVEX_INSTALL_${kind}}")
  endif()
endforeach()
set(TOLVEX_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
configure_file("${TOLVEX_PC_IN}" "${TOLVEX_PC_OUT}" @ONLY)
