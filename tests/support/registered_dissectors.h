// The project's dissectors that the in-process tests register themselves,
// the way the plug-in frame registers them when the analyser loads it.
#ifndef OVK_TESTS_REGISTERED_DISSECTORS_H
#define OVK_TESTS_REGISTERED_DISSECTORS_H

void proto_register_ovk5(void);
void proto_reg_handoff_ovk5(void);
void proto_register_ovk5seq(void);
void proto_reg_handoff_ovk5seq(void);

namespace ovk::test {

inline void register_project_dissectors()
{
    static proto_plugin ovk5_plugin{proto_register_ovk5, proto_reg_handoff_ovk5};
    proto_register_plugin(&ovk5_plugin);
    static proto_plugin ovk5seq_plugin{proto_register_ovk5seq, proto_reg_handoff_ovk5seq};
    proto_register_plugin(&ovk5seq_plugin);
}

} // namespace ovk::test

#endif
