# Files that name installed paths (the init script, the systemd unit, the
# pkg-config file) are generated when they are installed, from the prefix in
# force then: `cmake --install --prefix DIR` ships files naming DIR, not the
# prefix the tree was configured for.  Included by their install rules, so
# it runs under `cmake --install`.  DESTDIR is never part of a named path:
# file(INSTALL) adds it to where the file is put, not to what it says.

# The install prefix as an absolute path without a trailing slash.
# `cmake --install --prefix /` passes an empty prefix; a relative one is
# taken from the current directory, as file(INSTALL) takes it.
function(bootguard_install_prefix out)
  set(prefix "${CMAKE_INSTALL_PREFIX}")
  if(prefix STREQUAL "")
    set(prefix /)
  endif()
  get_filename_component(prefix "${prefix}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
  set(${out} "${prefix}" PARENT_SCOPE)
endfunction()

# Where a GNUInstallDirs directory lands: an absolute one as it is, a
# relative one under the prefix, exactly as install(... DESTINATION) puts
# the programs and the library there.
function(bootguard_installed_dir out dir)
  bootguard_install_prefix(prefix)
  if(IS_ABSOLUTE "${dir}")
    set(${out} "${dir}" PARENT_SCOPE)
  elseif(prefix STREQUAL "/")
    set(${out} "/${dir}" PARENT_SCOPE)
  else()
    set(${out} "${prefix}/${dir}" PARENT_SCOPE)
  endif()
endfunction()

# The configuration directory by GNUInstallDirs' own rule for it, applied
# to the prefix in force: /etc itself under / and /usr (never /usr/etc),
# /etc/opt/NAME under /opt/NAME, else under the prefix.
function(bootguard_installed_sysconfdir out dir)
  bootguard_install_prefix(prefix)
  if(IS_ABSOLUTE "${dir}")
    set(${out} "${dir}" PARENT_SCOPE)
  elseif(prefix MATCHES "^/(usr)?$")
    set(${out} "/${dir}" PARENT_SCOPE)
  elseif(prefix MATCHES "^/opt/" AND NOT prefix MATCHES "^/opt/homebrew/")
    set(${out} "/${dir}${prefix}" PARENT_SCOPE)
  else()
    set(${out} "${prefix}/${dir}" PARENT_SCOPE)
  endif()
endfunction()

# Generates TEMPLATE (NAME.in, @VAR@ taken from the caller's variables) and
# installs it as DESTINATION/NAME, as install(FILES) (TYPE FILE, mode 644)
# or install(PROGRAMS) (TYPE PROGRAM, mode 755) would: under DESTDIR, with
# its "Installing:" line, listed in the install manifest.  The file is made
# in a directory of its own, STAGING.<random>, so that two installs of one
# build tree into different prefixes at once do not share it.
function(bootguard_install_generated template destination type staging)
  get_filename_component(name "${template}" NAME_WLE)
  string(RANDOM LENGTH 16 tag)
  set(stage "${staging}.${tag}")
  configure_file("${template}" "${stage}/${name}" @ONLY)
  file(INSTALL DESTINATION "${destination}" TYPE ${type} FILES "${stage}/${name}")
  file(REMOVE_RECURSE "${stage}")
  set(CMAKE_INSTALL_MANIFEST_FILES "${CMAKE_INSTALL_MANIFEST_FILES}" PARENT_SCOPE)
endfunction()
