// Class factory: objects by class name and the process-wide connection.
