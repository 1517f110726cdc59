# Which folder may include which. The libraries link by this table and nothing else, and
# tools/layer_includes.py holds every #include of the product folders to it (CI and ctest run
# it), so an include that climbs a layer fails the build's checks.
#
# kestrune_layer_rule(folder [DEPENDS folder...] [HEADERS folder/File.h...])
#   DEPENDS: folders whose headers the folder may include; HEADERS: single headers of
#   another folder, for the simulator and the libftdi1 provider, which share only those.
kestrune_layer_rule(platform)
kestrune_layer_rule(res DEPENDS platform)
kestrune_layer_rule(protocol DEPENDS res platform)
kestrune_layer_rule(link DEPENDS protocol res platform)
kestrune_layer_rule(firmware DEPENDS link protocol res platform)
kestrune_layer_rule(records DEPENDS firmware link protocol res platform)
kestrune_layer_rule(production DEPENDS records firmware link protocol res platform)
kestrune_layer_rule(dialogs DEPENDS production records firmware link protocol res platform)
kestrune_layer_rule(app DEPENDS dialogs production records firmware link protocol res platform)
kestrune_layer_rule(cli DEPENDS production records firmware link protocol res platform)
kestrune_layer_rule(sim DEPENDS platform HEADERS link/D2xx.h link/ConverterRules.h link/UserArea.h protocol/Frame.h)
kestrune_layer_rule(ftdi HEADERS link/D2xx.h link/ConverterRules.h)
